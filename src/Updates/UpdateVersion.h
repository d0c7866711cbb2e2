#pragma once

#include <QString>

namespace UpdateVersion {

// Orders two version texts the way people read them: dot-separated numeric
// parts compare as numbers (1.10.2 is newer than 1.9), missing parts count as
// zero, and a part with a trailing tag (1.0b1) comes before the same part
// without one (1.0). Negative, zero or positive like strcmp.
int compare(const QString &left, const QString &right);

} // namespace UpdateVersion
