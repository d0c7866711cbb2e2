#pragma once

#include "CapabilityPack.h"

#include <QList>
#include <QString>
#include <QStringView>

// Checks of a reply against the rules of the pack it was made under.
namespace ReplyChecks {

// The word count used for replyRules.maxWords: ICU word boundaries, counting
// each segment that holds a letter or a digit. Punctuation and spaces are not
// words; scripts written without spaces (Thai, Chinese, Japanese) are split by
// ICU's dictionaries, never counted as one word.
qsizetype countWords(QStringView text);

struct Failure
{
    enum class Kind { overWordLimit, deniedItem, emptyReply };
    Kind kind = Kind::overWordLimit;
    // What the operator reads on the row: "132 words, limit 120",
    // "says “cash refund”", "empty reply".
    QString text;
};

// Every failure of one reply, in the order: empty, over the limit, denied items
// (in the order of guardrails.deny). Denied items are matched case-insensitively
// after Unicode normalisation (NFKC with case folding).
QList<Failure> check(QStringView reply, const CapabilityPack &pack);

} // namespace ReplyChecks
