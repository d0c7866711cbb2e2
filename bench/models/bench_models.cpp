// Pack model speed, each as a ratio against a baseline measured in this run.

#include "BenchSupport.h"
#include "Envelopes.h"
#include "Memory.h"
#include "PackGenerator.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <simdjson.h>

#include <cstring>

namespace {

using Pack = CapabilityPack;

// Keeps results alive so the compiler cannot drop the work that made them.
volatile size_t g_sink = 0;

QString deep(const QString &s)
{
    return QString(s.constData(), s.size());
}

std::optional<QString> deep(const std::optional<QString> &s)
{
    return s ? std::optional<QString>(deep(*s)) : std::nullopt;
}

QList<QString> deep(const QList<QString> &list)
{
    QList<QString> out;
    out.reserve(list.size());
    for (const QString &s : list)
        out.append(deep(s));
    return out;
}

std::optional<QList<Pack::NLUExample>> deep(const std::optional<QList<Pack::NLUExample>> &list)
{
    if (!list)
        return std::nullopt;
    QList<Pack::NLUExample> out;
    out.reserve(list->size());
    for (const auto &e : *list)
        out.append({deep(e.user), deep(e.intent), deep(e.notes)});
    return out;
}

std::optional<QList<Pack::ExampleTurn>> deep(const std::optional<QList<Pack::ExampleTurn>> &list)
{
    if (!list)
        return std::nullopt;
    QList<Pack::ExampleTurn> out;
    out.reserve(list->size());
    for (const auto &e : *list)
        out.append({deep(e.user), deep(e.assistant), deep(e.why)});
    return out;
}

// What copying would cost if a pack held its texts by value: every byte copied.
Pack deepCopy(const Pack &p)
{
    Pack c;
    c.packId = deep(p.packId);
    c.version = deep(p.version);
    c.status = deep(p.status);
    c.parentVersion = deep(p.parentVersion);
    c.lockedInvariants = deep(p.lockedInvariants);
    const auto &m = p.modules;
    c.modules.persona = {deep(m.persona.name), deep(m.persona.role), deep(m.persona.voice),
        deep(m.persona.languages), deep(m.persona.addressFallback)};
    c.modules.nlu = {deep(m.nlu.intents), deep(m.nlu.schemaHint), deep(m.nlu.examples)};
    c.modules.replyRules
        = {deep(m.replyRules.systemPreamble), deep(m.replyRules.hardRules), deep(m.replyRules.cta),
            deep(m.replyRules.style), m.replyRules.maxWords, deep(m.replyRules.markdown)};
    c.modules.fewShot = {deep(m.fewShot.good), deep(m.fewShot.bad)};
    QList<Pack::GuardRow> matrix;
    for (const auto &row : m.guardrails.matrix)
        matrix.append({deep(row.action), deep(row.level)});
    c.modules.guardrails = {deep(m.guardrails.confirmCopy), matrix, deep(m.guardrails.deny)};
    if (p.provenance)
        c.provenance = Pack::Provenance {deep(p.provenance->author), deep(p.provenance->coachModel),
            deep(p.provenance->coachInstruction), deep(p.provenance->updatedAt)};
    return c;
}

void reading(const QByteArray &json, const QString &setting)
{
    // Our writer's output has room past its end, as a network reply's body has:
    // it is read in place.
    const double ours
        = Bench::medianNanos([&] { g_sink = g_sink + Pack::fromJson(json).version.size(); }, 15);
    // simdjson at its best: one parser kept across parses, as the reader keeps one.
    simdjson::dom::parser parser;
    const auto simdParse = [&] {
        simdjson::dom::element root;
        if (parser.parse(json.constData(), size_t(json.size())).get(root) == simdjson::SUCCESS)
            g_sink = g_sink + root.is_object();
    };
    const double simd = Bench::medianNanos(simdParse, 15);
    const double qt = Bench::medianNanos(
        [&] { g_sink = g_sink + QJsonDocument::fromJson(json).object().size(); }, 7);
    const QString size = QString::number(json.size() / 1e6, 'f', 1);
    Bench::reportRatio(
        QStringLiteral("read %1 MB pack vs simdjson parse%2").arg(size, setting), ours, simd, 3.0);
    Bench::reportRatio(
        QStringLiteral("read %1 MB pack vs QJsonDocument::fromJson%2").arg(size, setting), ours, qt,
        5.0, true);

    // Bytes without that room (a file read to its exact size) are copied first,
    // as the simdjson baseline copies them.
    const double copied = Bench::medianNanos(
        [&] { g_sink = g_sink + Pack::fromJson(QByteArrayView(json)).version.size(); }, 15);
    // The pack as the service sends it, inside an envelope.
    QByteArray answer;
    answer.reserve(json.size() + 32 * 1024);
    answer.append("{\"live_version\":\"v1\",\"pack\":").append(json).append('}');
    const double enveloped = Bench::medianNanos(
        [&] { g_sink = g_sink + Envelopes::readCurrentPackResponse(answer).pack.version.size(); },
        15);
    // Measured again next to them, so that a busy machine skews both sides alike.
    const double simdAgain = Bench::medianNanos(simdParse, 15);
    Bench::reportRatio(
        QStringLiteral("read %1 MB pack, copied first, vs simdjson parse%2").arg(size, setting),
        copied, simdAgain, 3.0);
    Bench::reportRatio(QStringLiteral("read %1 MB pack in a service answer vs simdjson parse%2")
                           .arg(size, setting),
        enveloped, simdAgain, 3.0);
}

void writing(const Pack &pack)
{
    const QJsonObject object = pack.toJsonObject();
    const double ours = Bench::medianNanos([&] { g_sink = g_sink + pack.toJson().size(); }, 15);
    const double qt = Bench::medianNanos(
        [&] { g_sink = g_sink + QJsonDocument(object).toJson(QJsonDocument::Compact).size(); }, 15);
    Bench::reportRatio(QStringLiteral("write large pack vs QJsonDocument::toJson"), ours, qt, 2.0);
}

void canonicalEquality()
{
    const qsizetype oneMB = 1024 * 1024;
    const Pack a1 = PackGenerator::largePack(oneMB, false);
    const Pack b1 = PackGenerator::largePack(oneMB, true);
    const Pack a4 = PackGenerator::largePack(4 * oneMB, false);
    const Pack b4 = PackGenerator::largePack(4 * oneMB, true);
    if (!(a1 == b1) || !(a4 == b4))
        qFatal("canonically equivalent packs compare unequal");
    const double t1 = Bench::medianNanos([&] { g_sink = g_sink + (a1 == b1); }, 9);
    const double t4 = Bench::medianNanos([&] { g_sink = g_sink + (a4 == b4); }, 9);
    const double size1 = double(a1.toJson().size());
    const double size4 = double(a4.toJson().size());
    Bench::reportValue(
        QStringLiteral("equality, differently composed, 1 MB"), t1 / 1e6, QStringLiteral("ms"));
    // Linear: the 4 MB time over the 1 MB time scaled by the size ratio stays near 1.
    Bench::reportRatio(
        QStringLiteral("equality, differently composed, 4 MB vs 1 MB scaled by size"), t4,
        t1 * size4 / size1, 1.5);
    Bench::reportAbsolute(
        QStringLiteral("equality, differently composed, 4 MB"), t4 / 1e6, 50, QStringLiteral("ms"));
}

void sharing(const Pack &large)
{
    const QString voice = QStringLiteral("Cheerful and brief.");
    const double change = Bench::medianNanos(
        [&] {
            Pack draft = large;
            draft.modules.persona.voice = voice;
            g_sink = g_sink + draft.modules.persona.voice.size();
        },
        101);
    const double deepCopyNs = Bench::medianNanos(
        [&] {
            Pack draft = deepCopy(large);
            draft.modules.persona.voice = voice;
            g_sink = g_sink + draft.modules.persona.voice.size();
        },
        7);
    Bench::reportAbsolute(QStringLiteral("copy large pack and change the voice"), change / 1e3, 10,
        QStringLiteral("us"));
    Bench::reportRatio(
        QStringLiteral("copy and change the voice vs deep copy"), change, deepCopyNs, 100.0, true);

    const Pack a = large;
    const Pack b = large;
    const double equal = Bench::medianNanos([&] { g_sink = g_sink + (a == b); }, 101);
    Bench::reportAbsolute(QStringLiteral("equality of two large packs sharing data"), equal / 1e3,
        10, QStringLiteral("us"));
}

// `bench_models --only read` (or `--only simdjson`) reads the large pack
// BENCH_TIMES times (3 unless set) and does nothing else, for an instruction
// count under callgrind or a profile, which stay put on a busy machine where
// wall time does not; `--only none` makes the pack alone, to subtract.
int onlyOne(const QByteArray &json, const char *which)
{
    const int times = qEnvironmentVariableIntValue("BENCH_TIMES") > 0
        ? qEnvironmentVariableIntValue("BENCH_TIMES")
        : 3;
    if (std::strcmp(which, "read") == 0) {
        for (int i = 0; i < times; ++i)
            g_sink = g_sink + Pack::fromJson(json).version.size();
        return 0;
    }
    if (std::strcmp(which, "simdjson") == 0) {
        simdjson::dom::parser parser;
        for (int i = 0; i < times; ++i) {
            simdjson::dom::element root;
            if (parser.parse(json.constData(), size_t(json.size())).get(root) == simdjson::SUCCESS)
                g_sink = g_sink + root.is_object();
        }
        return 0;
    }
    return std::strcmp(which, "none") == 0 ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    keepFreedMemoryForReuse();
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--only") == 0)
        return onlyOne(PackGenerator::largePackJson(), argv[2]);
    const QByteArray typical = PackGenerator::typicalPackJson();
    const QByteArray largeJson = PackGenerator::largePackJson();
    Bench::reportValue(QStringLiteral("typical pack"), typical.size() / 1e3, QStringLiteral("KB"));
    Bench::reportValue(QStringLiteral("large pack"), largeJson.size() / 1e6, QStringLiteral("MB"));
    const Pack large = Pack::fromJson(largeJson);

    reading(largeJson, QString());
    writing(large);
    canonicalEquality();
    sharing(large);

    return Bench::exitCode();
}
