// The review: the diff of two 5 MB packs against reading one, and a run of
// previews against a service that takes 50 ms a reply, against the ideal.

#include "Await.h"
#include "BenchSupport.h"
#include "LanguageModel.h"
#include "Memory.h"
#include "PackDiff.h"
#include "PackGenerator.h"
#include "ReplyChecks.h"
#include "ReviewRunner.h"
#include "ScriptedHttpServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

using namespace std::chrono_literals;

namespace {

using Pack = CapabilityPack;

volatile size_t g_sink = 0;

// The live pack with what a coach run and a few edits change, spread over the
// document: the voice, the confirmation copy, examples early, in the middle and
// late (one changed, one added, one removed), a few-shot turn, the word limit.
Pack edited(Pack pack)
{
    pack.modules.persona.voice += QStringLiteral(" Friendlier, with one question at the end.");
    pack.modules.guardrails.confirmCopy = QStringLiteral("Shall I book it now, Kak?");
    pack.modules.replyRules.maxWords += 20;
    auto &examples = *pack.modules.nlu.examples;
    examples[100].intent = QStringLiteral("ask_availability");
    examples.insert(
        examples.size() / 2, {QStringLiteral("Ada promo?"), QStringLiteral("ask_price"), {}});
    examples.removeAt(examples.size() - 100);
    auto &good = *pack.modules.fewShot.good;
    good[good.size() / 3].assistant += QStringLiteral(" Mau saya cek jadwalnya?");
    return pack;
}

void diffing()
{
    const QByteArray liveJson = PackGenerator::largePackJson();
    const QByteArray draftJson = edited(Pack::fromJson(liveJson)).toJson();
    const double reading = Bench::medianNanos(
        [&] { g_sink = g_sink + Pack::fromJson(liveJson).version.size(); }, 11);
    // Read apart, the two packs share no text: every text is compared.
    const Pack live = Pack::fromJson(liveJson);
    const Pack draft = Pack::fromJson(draftJson);
    QList<PackDiff::Change> changes;
    const double diffing = Bench::medianNanos([&] { changes = PackDiff::diff(live, draft); }, 11);
    Bench::reportValue(
        QStringLiteral("changes found"), double(changes.size()), QStringLiteral("changes"));
    Bench::reportRatio(QStringLiteral("diff of two %1 MB packs vs reading one")
                           .arg(liveJson.size() / 1e6, 0, 'f', 1),
        diffing, reading, 2.0);
    // The draft as the window holds it: a copy of live with the same edits.
    const Pack shared = edited(live);
    const double sharing
        = Bench::medianNanos([&] { g_sink = g_sink + PackDiff::diff(live, shared).size(); }, 11);
    Bench::reportRatio(QStringLiteral("diff of a draft sharing live's texts vs reading one pack"),
        sharing, reading, 2.0);

    // Every accented letter decomposed on one side: no change, but every such text
    // is normalised to tell.
    const Pack decomposed = PackGenerator::largePack(liveJson.size(), true);
    const Pack composed = PackGenerator::largePack(liveJson.size(), false);
    if (!PackDiff::diff(composed, decomposed).isEmpty())
        qFatal("canonically equivalent packs differ");
    const double normalising = Bench::medianNanos(
        [&] { g_sink = g_sink + PackDiff::diff(composed, decomposed).size(); }, 5);
    Bench::reportValue(QStringLiteral("diff of a pack and its decomposed twin vs reading one"),
        normalising / reading, QStringLiteral("x"));

    // The first call is included: it sets up the thread pool.
    double longest = 0;
    for (int i = 0; i < 5; ++i) {
        Bench::StallMeter meter;
        meter.start();
        awaitTask(PackDiff::diffAsync(live, draft));
        meter.stop();
        longest = std::max(longest, meter.longestStallMs());
    }
    Bench::reportAbsolute(QStringLiteral("longest stall of the calling thread during diffAsync"),
        longest, 16, QStringLiteral("ms"));
}

// A row's checks run where its reply arrives, on the user-interface thread.
void checking()
{
    QStringList words;
    for (int i = 0; i < 2000; ++i)
        words.append(i % 7 == 0 ? QStringLiteral("Bangkok,") : QStringLiteral("tiket"));
    const QString reply = words.join(QLatin1Char(' '));
    Pack pack = PackGenerator::typicalPack();
    pack.modules.guardrails.deny = {QStringLiteral("cash refund"), QStringLiteral("visa_advice"),
        QStringLiteral("medical_advice")};
    const double check = Bench::medianNanos(
        [&] { g_sink = g_sink + size_t(ReplyChecks::check(reply, pack).size()); }, 21);
    Bench::reportAbsolute(
        QStringLiteral("checks of one 2,000-word reply"), check / 1e6, 2, QStringLiteral("ms"));
}

void running()
{
    constexpr int messages = 20;
    constexpr auto answerTime = 50ms;
    ScriptedHttpServer service;
    if (!service.listen())
        qFatal("cannot listen");
    const QByteArray answer = QJsonDocument(
        QJsonObject {{QStringLiteral("reply"),
            QJsonObject {
                {QStringLiteral("text"), QStringLiteral("Baik, Kak. Untuk tanggal berapa?")}}}})
                                  .toJson(QJsonDocument::Compact);
    service.setHandler([&](const ScriptedRequest &) {
        return ScriptedResponse::json(200, answer).withDelay(answerTime);
    });
    SystemLanguageModel::defaultModel().configure(
        QUrl(QStringLiteral("http://127.0.0.1:1/v1")), QStringLiteral("off"), false);
    const Pack pack = PackGenerator::typicalPack();
    QStringList set;
    for (int i = 0; i < messages; ++i)
        set.append(QStringLiteral("Cari tiket ke Bangkok tanggal %1 Oktober").arg(i + 1));
    ReviewRunner runner;
    const PackAPI api {service.url(), {}};
    const double wall = Bench::medianNanos([&] { awaitTask(runner.run(api, pack, pack, set)); }, 5);
    if (runner.finished() != 2 * messages || runner.draftSummary().errors != 0)
        qFatal("the run did not complete");
    const double perReply = std::chrono::nanoseconds(answerTime).count();
    const double parallel = ReviewRunner::serviceParallel;
    // Each message is previewed twice, under the draft and under live.
    const double idealAll = 2 * messages * perReply / parallel;
    const double idealMessages = messages * perReply / parallel;
    Bench::reportRatio(
        QStringLiteral("run of 20 messages (40 replies), 4 at a time, vs ideal 40 x 50 ms / 4"),
        wall, idealAll, 1.3);
    Bench::reportValue(QStringLiteral("the same vs ideal 20 x 50 ms / 4 (one reply a message)"),
        wall / idealMessages, QStringLiteral("x"));
}

} // namespace

int main(int argc, char **argv)
{
    keepFreedMemoryForReuse();
    QCoreApplication app(argc, argv);
    diffing();
    checking();
    running();
    return Bench::exitCode();
}
