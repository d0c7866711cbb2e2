#include "ReplyChecks.h"
#include "WordBreak.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <memory>

namespace {

icu::UnicodeString view(QStringView text)
{
    return icu::UnicodeString(
        false, reinterpret_cast<const UChar *>(text.utf16()), static_cast<int32_t>(text.size()));
}

// Case folding after compatibility normalisation: "ＣＡＳＨ", "Cash" and "cash"
// all become "cash", and a decomposed "é" the precomposed one.
QString folded(QStringView text)
{
    static const icu::Normalizer2 *fold = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2 *n = icu::Normalizer2::getNFKCCasefoldInstance(status);
        return U_SUCCESS(status) ? n : nullptr;
    }();
    if (!fold)
        return text.toString().toCaseFolded();
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString out = fold->normalize(view(text), status);
    if (U_FAILURE(status))
        return text.toString().toCaseFolded();
    return QString(reinterpret_cast<const QChar *>(out.getBuffer()), out.length());
}

} // namespace

namespace ReplyChecks {

// Creating a word break iterator loads ICU's rules and dictionaries and costs far
// more than using one, and one iterator must not be shared between threads: each
// thread keeps its own.
icu::BreakIterator *wordIterator()
{
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
        return U_SUCCESS(status) ? std::move(made) : nullptr;
    }();
    return iterator.get();
}

qsizetype countWords(QStringView text)
{
    if (text.isEmpty())
        return 0;
    icu::BreakIterator *words = wordIterator();
    if (!words)
        return text.split(u' ', Qt::SkipEmptyParts).size();
    const icu::UnicodeString source = view(text);
    words->setText(source);
    qsizetype count = 0;
    words->first();
    for (int32_t end = words->next(); end != icu::BreakIterator::DONE; end = words->next()) {
        // Spaces, punctuation and symbols come back as segments of their own
        // with the status "none"; everything else holds letters, digits or ideographs.
        if (words->getRuleStatus() != UBRK_WORD_NONE)
            ++count;
    }
    // The iterator must not keep pointing into a text that goes away.
    words->setText(icu::UnicodeString());
    return count;
}

QList<Failure> check(QStringView reply, const CapabilityPack &pack)
{
    QList<Failure> failures;
    if (reply.trimmed().isEmpty()) {
        failures.append({Failure::Kind::emptyReply, QStringLiteral("empty reply")});
        return failures;
    }
    const qint64 limit = pack.modules.replyRules.maxWords;
    const qsizetype words = countWords(reply);
    if (words > limit)
        failures.append({Failure::Kind::overWordLimit,
            QStringLiteral("%1 words, limit %2").arg(words).arg(limit)});

    const QList<QString> &deny = pack.modules.guardrails.deny;
    if (deny.isEmpty())
        return failures;
    const QString text = folded(reply);
    for (const QString &item : deny) {
        const QString needle = folded(item).trimmed();
        // A blank item would be found in every reply.
        if (needle.isEmpty())
            continue;
        if (text.contains(needle))
            failures.append({Failure::Kind::deniedItem,
                QStringLiteral("says \u201c%1\u201d").arg(item.trimmed())});
    }
    return failures;
}

} // namespace ReplyChecks
