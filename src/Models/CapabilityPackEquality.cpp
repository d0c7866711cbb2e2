#include "CapabilityPack.h"

#include <QHashFunctions>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

// Packs compare field by field, and texts compare as Unicode: a decomposed "e" +
// combining acute equals the precomposed letter. Nearly every comparison in the
// program is between a pack and a copy of itself, so the cheap answers come first:
// shared data, then equal bytes, then two texts that are both already in NFC
// (canonical equivalents in NFC are identical, so those are different). Only what
// is left is normalised, with ICU, which is linear in the length of the text.

namespace {

const icu::Normalizer2 &nfc()
{
    static const icu::Normalizer2 *instance = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2 *n = icu::Normalizer2::getNFCInstance(status);
        Q_ASSERT(U_SUCCESS(status) && n);
        return n;
    }();
    return *instance;
}

// A read-only ICU view of the QString's UTF-16 buffer, no copy.
icu::UnicodeString view(const QString &s)
{
    return icu::UnicodeString(
        false, reinterpret_cast<const UChar *>(s.utf16()), static_cast<int32_t>(s.size()));
}

bool isNfc(const icu::UnicodeString &u)
{
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizationCheckResult quick = nfc().quickCheck(u, status);
    if (quick == UNORM_YES)
        return true;
    if (quick == UNORM_NO)
        return false;
    status = U_ZERO_ERROR;
    return nfc().isNormalized(u, status);
}

// Normalises into `buffer`, which keeps its capacity from call to call: comparing
// two large, differently composed packs normalises a hundred thousand texts, and
// allocating for each would cost more than the normalising itself.
const icu::UnicodeString &normalized(const icu::UnicodeString &u, icu::UnicodeString &buffer)
{
    UErrorCode status = U_ZERO_ERROR;
    nfc().normalize(u, buffer, status);
    // Normalising only fails on a broken ICU data file or out of memory; comparing
    // the text as it stands is the best answer left.
    return U_SUCCESS(status) ? buffer : u;
}

thread_local icu::UnicodeString t_first;
thread_local icu::UnicodeString t_second;

bool same(const QString &a, const QString &b)
{
    if (a.size() == b.size() && a.constData() == b.constData())
        return true;
    if (a == b)
        return true;
    const icu::UnicodeString ua = view(a);
    const icu::UnicodeString ub = view(b);
    const bool aNfc = isNfc(ua);
    const bool bNfc = isNfc(ub);
    if (aNfc && bNfc)
        return false;
    return (aNfc ? ua : normalized(ua, t_first)) == (bNfc ? ub : normalized(ub, t_second));
}

template<typename T> bool same(const T &a, const T &b);
template<typename T> bool same(const QList<T> &a, const QList<T> &b);

template<typename T> bool same(const std::optional<T> &a, const std::optional<T> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    return !a || same(*a, *b);
}

template<typename T> bool same(const T &a, const T &b)
{
    return a == b;
}

template<typename T> bool same(const QList<T> &a, const QList<T> &b)
{
    if (a.size() != b.size())
        return false;
    if (a.constData() == b.constData())
        return true;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i]))
            return false;
    }
    return true;
}

size_t mix(size_t seed, size_t value)
{
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t hashOf(const QString &s, size_t seed)
{
    const icu::UnicodeString u = view(s);
    if (isNfc(u))
        return qHash(QStringView(s), seed);
    const icu::UnicodeString &n = normalized(u, t_first);
    return qHash(QStringView(reinterpret_cast<const char16_t *>(n.getBuffer()), n.length()), seed);
}

size_t hashOf(qint64 v, size_t seed)
{
    return qHash(v, seed);
}

template<typename T> size_t hashOf(const T &v, size_t seed)
{
    return qHash(v, seed);
}

template<typename T> size_t hashOf(const QList<T> &list, size_t seed);

template<typename T> size_t hashOf(const std::optional<T> &v, size_t seed)
{
    return v ? mix(hashOf(*v, seed), 1) : mix(seed, 0);
}

template<typename T> size_t hashOf(const QList<T> &list, size_t seed)
{
    size_t h = mix(seed, static_cast<size_t>(list.size()));
    for (const T &element : list)
        h = mix(h, hashOf(element, seed));
    return h;
}

template<typename... Fields> size_t hashFields(size_t seed, const Fields &...fields)
{
    size_t h = seed;
    ((h = mix(h, hashOf(fields, seed))), ...);
    return h;
}

} // namespace

using Pack = CapabilityPack;

bool canonicallyEqual(const QString &a, const QString &b)
{
    return same(a, b);
}

QString canonicalComposition(const QString &text)
{
    const icu::UnicodeString u = view(text);
    if (isNfc(u))
        return text;
    const icu::UnicodeString &n = normalized(u, t_first);
    return QString(reinterpret_cast<const QChar *>(n.getBuffer()), n.length());
}

bool operator==(const Pack::Persona &a, const Pack::Persona &b)
{
    return same(a.name, b.name) && same(a.role, b.role) && same(a.voice, b.voice)
        && same(a.languages, b.languages) && same(a.addressFallback, b.addressFallback);
}

bool operator==(const Pack::NLUExample &a, const Pack::NLUExample &b)
{
    return same(a.user, b.user) && same(a.intent, b.intent) && same(a.notes, b.notes);
}

bool operator==(const Pack::NLU &a, const Pack::NLU &b)
{
    return same(a.intents, b.intents) && same(a.schemaHint, b.schemaHint)
        && same(a.examples, b.examples);
}

bool operator==(const Pack::ReplyRules &a, const Pack::ReplyRules &b)
{
    return same(a.systemPreamble, b.systemPreamble) && same(a.hardRules, b.hardRules)
        && same(a.cta, b.cta) && same(a.style, b.style) && a.maxWords == b.maxWords
        && same(a.markdown, b.markdown);
}

bool operator==(const Pack::ExampleTurn &a, const Pack::ExampleTurn &b)
{
    return same(a.user, b.user) && same(a.assistant, b.assistant) && same(a.why, b.why);
}

bool operator==(const Pack::FewShot &a, const Pack::FewShot &b)
{
    return same(a.good, b.good) && same(a.bad, b.bad);
}

bool operator==(const Pack::GuardRow &a, const Pack::GuardRow &b)
{
    return same(a.action, b.action) && same(a.level, b.level);
}

bool operator==(const Pack::Guardrails &a, const Pack::Guardrails &b)
{
    return same(a.confirmCopy, b.confirmCopy) && same(a.matrix, b.matrix) && same(a.deny, b.deny);
}

bool operator==(const Pack::Provenance &a, const Pack::Provenance &b)
{
    return same(a.author, b.author) && same(a.coachModel, b.coachModel)
        && same(a.coachInstruction, b.coachInstruction) && same(a.updatedAt, b.updatedAt);
}

bool operator==(const Pack::Modules &a, const Pack::Modules &b)
{
    return a.persona == b.persona && a.nlu == b.nlu && a.replyRules == b.replyRules
        && a.fewShot == b.fewShot && a.guardrails == b.guardrails;
}

bool operator==(const Pack &a, const Pack &b)
{
    return same(a.packId, b.packId) && same(a.version, b.version) && same(a.status, b.status)
        && same(a.parentVersion, b.parentVersion) && same(a.lockedInvariants, b.lockedInvariants)
        && a.modules == b.modules && same(a.provenance, b.provenance);
}

size_t qHash(const Pack::Persona &v, size_t seed)
{
    return hashFields(seed, v.name, v.role, v.voice, v.languages, v.addressFallback);
}

size_t qHash(const Pack::NLUExample &v, size_t seed)
{
    return hashFields(seed, v.user, v.intent, v.notes);
}

size_t qHash(const Pack::NLU &v, size_t seed)
{
    return hashFields(seed, v.intents, v.schemaHint, v.examples);
}

size_t qHash(const Pack::ReplyRules &v, size_t seed)
{
    return hashFields(seed, v.systemPreamble, v.hardRules, v.cta, v.style, v.maxWords, v.markdown);
}

size_t qHash(const Pack::ExampleTurn &v, size_t seed)
{
    return hashFields(seed, v.user, v.assistant, v.why);
}

size_t qHash(const Pack::FewShot &v, size_t seed)
{
    return hashFields(seed, v.good, v.bad);
}

size_t qHash(const Pack::GuardRow &v, size_t seed)
{
    return hashFields(seed, v.action, v.level);
}

size_t qHash(const Pack::Guardrails &v, size_t seed)
{
    return hashFields(seed, v.confirmCopy, v.matrix, v.deny);
}

size_t qHash(const Pack::Provenance &v, size_t seed)
{
    return hashFields(seed, v.author, v.coachModel, v.coachInstruction, v.updatedAt);
}

size_t qHash(const Pack::Modules &v, size_t seed)
{
    return hashFields(seed, v.persona, v.nlu, v.replyRules, v.fewShot, v.guardrails);
}

size_t qHash(const Pack &v, size_t seed)
{
    return hashFields(seed, v.packId, v.version, v.status, v.parentVersion, v.lockedInvariants,
        v.modules, v.provenance);
}
