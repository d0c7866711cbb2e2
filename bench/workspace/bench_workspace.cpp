// The workspace with a 5 MB draft: how long the user-interface thread's event
// loop stalls while it loads, publishes and rolls back, and what one keystroke
// in the voice editor costs.

#include "Await.h"
#include "BenchSupport.h"
#include "LargePackService.h"
#include "Memory.h"
#include "PackGenerator.h"
#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"
#include "VoridIzid.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

namespace {

double stallOf(QCoro::Task<> operation)
{
    Bench::StallMeter meter;
    meter.start();
    awaitTask(std::move(operation));
    meter.stop();
    return meter.longestStallMs();
}

} // namespace

int main(int argc, char **argv)
{
    keepFreedMemoryForReuse();
    qputenv("TAVI_PACK_SERVICE_BIN", TAVI_PACK_SERVICE_BIN_PATH);
    QCoreApplication app(argc, argv);

    LargePackService service;

    VoridIzid workspace;
    workspace.setApiBase(service.baseUrl().toString());

    for (int round = 0; round < 3; ++round) {
        const double load = stallOf(workspace.loadAsync());
        const double publish = stallOf(workspace.publishAsync());
        const double rollback = stallOf(workspace.rollbackAsync());
        if (!workspace.status().startsWith(QStringLiteral("Rolled back to ")))
            qFatal("unexpected status: %s", qPrintable(workspace.status()));
        if (round == 2) {
            Bench::reportAbsolute(QStringLiteral("longest stall while loading a 5 MB pack"), load,
                16, QStringLiteral("ms"));
            Bench::reportAbsolute(QStringLiteral("longest stall while publishing a 5 MB pack"),
                publish, 16, QStringLiteral("ms"));
            Bench::reportAbsolute(QStringLiteral("longest stall while rolling back a 5 MB pack"),
                rollback, 16, QStringLiteral("ms"));
        }
    }

    // One keystroke: copy the draft, change the voice, store it, announce it to a
    // listener that reads the new voice as a binding would.
    qsizetype seen = 0;
    QObject::connect(
        &workspace, &VoridIzid::packChanged, &workspace, [&] { seen += workspace.voice().size(); });
    const QString base = workspace.voice();
    int keystroke = 0;
    const double perKeystroke = Bench::medianNanos(
        [&] { workspace.setVoice(base + QString::number(keystroke++)); }, 2001);
    // The baseline: the same draft copied deeply, field by field, once.
    const CapabilityPack draft = *workspace.pack();
    const double deepCopy = Bench::medianNanos(
        [&] {
            CapabilityPack copy = CapabilityPack::fromJson(draft.toJson());
            seen += copy.version.size();
        },
        5);
    Bench::reportAbsolute(QStringLiteral("editing the voice of a 5 MB draft, per keystroke"),
        perKeystroke / 1e3, 50, QStringLiteral("us"));
    Bench::reportRatio(
        QStringLiteral("keystroke vs a deep copy of the draft"), perKeystroke, deepCopy, 100, true);
    // Keeps the listener's work from being optimised away.
    volatile qsizetype sink = seen;
    (void)sink;
    return Bench::exitCode();
}
