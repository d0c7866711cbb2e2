#pragma once

#include <QByteArrayView>

// The live pack as the service sent it, for pull: the bytes of the answer's
// "pack" member, written out as they are. The answer is checked in one pass that
// allocates nothing: JSON, UTF-8, a "pack" object with a string "version"
// (publish needs it). Everything else about the pack is left to the strict
// reader of the file (lint, and every command that reads one).
namespace PackAnswer {

// A view into `answer`. Throws JsonReadError, in the words the window uses for
// the same answer, when the check fails.
QByteArrayView packText(QByteArrayView answer);

} // namespace PackAnswer
