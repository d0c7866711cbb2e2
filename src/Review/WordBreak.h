#pragma once

#include <unicode/brkiter.h>

namespace ReplyChecks {

// This thread's ICU word break iterator, shared by the word count and the word
// diff so that both split text at the same boundaries; null when ICU has no
// word rules.
icu::BreakIterator *wordIterator();

} // namespace ReplyChecks
