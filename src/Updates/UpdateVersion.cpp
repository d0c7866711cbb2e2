#include "UpdateVersion.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

struct Part
{
    QString digits; // without leading zeros
    QString tag;
};

Part split(const QString &text)
{
    qsizetype end = 0;
    while (end < text.size() && text.at(end).isDigit())
        ++end;
    QString digits = text.left(end);
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    if (digits.isEmpty())
        digits = QStringLiteral("0");
    return {digits, text.mid(end)};
}

// Numbers of any length, compared without overflowing an integer type.
int compareDigits(const QString &left, const QString &right)
{
    if (left.size() != right.size())
        return left.size() < right.size() ? -1 : 1;
    const int order = left.compare(right);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// Tags such as "b2" and "b10" or "rc1": letters compare as text, the number
// after them as a number.
int compareTags(QStringView left, QStringView right)
{
    while (!left.isEmpty() || !right.isEmpty()) {
        qsizetype a = 0;
        qsizetype b = 0;
        while (a < left.size() && !left.at(a).isDigit())
            ++a;
        while (b < right.size() && !right.at(b).isDigit())
            ++b;
        if (const int byText = left.left(a).compare(right.left(b)); byText != 0)
            return byText < 0 ? -1 : 1;
        left = left.mid(a);
        right = right.mid(b);
        const Part x = split(left.toString());
        const Part y = split(right.toString());
        if (const int byNumber = compareDigits(x.digits, y.digits); byNumber != 0)
            return byNumber;
        left = left.mid(left.size() - x.tag.size());
        right = right.mid(right.size() - y.tag.size());
    }
    return 0;
}

} // namespace

int UpdateVersion::compare(const QString &left, const QString &right)
{
    static const QRegularExpression separators(QStringLiteral("[.\\-+_ ]"));
    const QStringList a = left.trimmed().split(separators);
    const QStringList b = right.trimmed().split(separators);
    const qsizetype count = std::max(a.size(), b.size());
    for (qsizetype i = 0; i < count; ++i) {
        const Part x = split(a.value(i));
        const Part y = split(b.value(i));
        if (const int byNumber = compareDigits(x.digits, y.digits); byNumber != 0)
            return byNumber;
        if (x.tag == y.tag)
            continue;
        if (x.tag.isEmpty() || y.tag.isEmpty())
            return x.tag.isEmpty() ? 1 : -1; // a tagged part is a pre-release
        if (const int byTag = compareTags(x.tag, y.tag); byTag != 0)
            return byTag;
    }
    return 0;
}
