// What PackAPI costs on top of the HTTP exchange itself, and whether fetching a
// very large pack keeps the calling thread's event loop responsive.

#include "Await.h"
#include "BenchSupport.h"
#include "Envelopes.h"
#include "Memory.h"
#include "Network.h"
#include "PackAPI.h"
#include "PackGenerator.h"
#include "PackServiceProcess.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};

// The floor: the same GET on the same shared manager, the body read and nothing
// else done with it.
QCoro::Task<QByteArray> bareGet(QUrl url)
{
    QNetworkRequest request(url);
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(sharedNetworkAccessManager().get(request));
    co_await reply.get();
    co_return reply->readAll();
}

struct Service
{
    QTemporaryDir dir;
    std::unique_ptr<PackServiceProcess> process;

    bool start(const QByteArray &packJson)
    {
        const QString seed = dir.filePath(QStringLiteral("seed.json"));
        QFile file(seed);
        if (!file.open(QIODevice::WriteOnly) || file.write(packJson) != packJson.size())
            return false;
        file.close();
        PackServiceProcess::Options options;
        options.seed = seed;
        process = std::make_unique<PackServiceProcess>(options);
        if (!process->start()) {
            std::fprintf(stderr, "%s\n", qPrintable(process->output()));
            return false;
        }
        return true;
    }
};

// Medians of two calls timed in alternation, so that the load of a shared
// machine falls on both alike instead of on whichever ran during a busy spell.
template<typename A, typename B>
std::pair<double, double> interleavedMedians(A &&baseline, B &&measured, int runs)
{
    baseline();
    measured();
    std::vector<double> a;
    std::vector<double> b;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        baseline();
        a.push_back(double(timer.nsecsElapsed()));
        timer.restart();
        measured();
        b.push_back(double(timer.nsecsElapsed()));
    }
    const auto median = [](std::vector<double> &v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    return {median(a), median(b)};
}

void compareWithBareGet(const QString &name, const QByteArray &packJson, int runs, double budget)
{
    Service service;
    if (!service.start(packJson))
        qFatal("the pack service did not start");
    const PackAPI api {service.process->baseUrl(), QString()};
    const QUrl url = api.apiURL(QStringLiteral("/api/capability-packs/current"));

    const auto [bare, ours] = interleavedMedians(
        [&] { awaitTask(bareGet(url)); }, [&] { awaitTask(api.current()); }, runs);
    Bench::reportRatio(name, ours, bare, budget);
    if (packJson.size() < 1024 * 1024)
        return;
    // For a large pack the decode itself outweighs the transfer on loopback, so
    // the ratio is bounded below by (transfer + decode) / transfer.
    const QByteArray body = "{\"pack\":" + packJson + "}";
    const double decode
        = interleavedMedians([&] { (void)Envelopes::readCurrentPackResponse(body); },
            [&] { awaitTask(api.current()); }, runs)
              .first;
    Bench::reportValue(
        QStringLiteral("  decoding that answer alone, on this thread (the pack reader)"),
        decode / 1e6, QStringLiteral("ms"));
}

void stallWhileFetching(const QByteArray &packJson)
{
    Service service;
    if (!service.start(packJson))
        qFatal("the pack service did not start");
    const PackAPI api {service.process->baseUrl(), QString()};
    const QUrl url = api.apiURL(QStringLiteral("/api/capability-packs/current"));
    awaitTask(api.current()); // warm the connection

    Bench::StallMeter meter;
    double bareStall = 0;
    double ourStall = 0;
    for (int i = 0; i < 5; ++i) {
        meter.start();
        awaitTask(bareGet(url));
        meter.stop();
        bareStall = std::max(bareStall, meter.longestStallMs());
        meter.start();
        awaitTask(api.current());
        meter.stop();
        ourStall = std::max(ourStall, meter.longestStallMs());
    }
    Bench::reportValue(QStringLiteral("longest stall, bare GET of the 5 MB pack (Qt's own share)"),
        bareStall, QStringLiteral("ms"));
    Bench::reportAbsolute(
        QStringLiteral("longest stall, current() fetching and decoding the 5 MB pack"), ourStall,
        16, QStringLiteral("ms"));

    // Publishing sends the same size the other way: serialising must not stall either.
    CapabilityPack live = awaitTask(api.current());
    double publishStall = 0;
    for (int i = 0; i < 3; ++i) {
        meter.start();
        live = awaitTask(api.publish(live));
        meter.stop();
        publishStall = std::max(publishStall, meter.longestStallMs());
    }
    Bench::reportAbsolute(QStringLiteral("longest stall, publish() of the 5 MB pack"), publishStall,
        16, QStringLiteral("ms"));
}

// Why answers up to 64 KiB are decoded inline: the time a decode of that size
// takes on the calling thread.
void inlineDecodeCost()
{
    for (const qsizetype size :
        {qsizetype(16 * 1024), qsizetype(64 * 1024), qsizetype(256 * 1024)}) {
        const QByteArray json = PackGenerator::largePackJson(size);
        const double ns = Bench::medianNanos([&] { (void)CapabilityPack::fromJson(json); }, 50);
        Bench::reportValue(
            QStringLiteral("decode of a %1 KiB pack on the calling thread").arg(json.size() / 1024),
            ns / 1e6, QStringLiteral("ms"));
    }
}

} // namespace

int main(int argc, char **argv)
{
    keepFreedMemoryForReuse();
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("TAVI_PACK_SERVICE_BIN"))
        qputenv("TAVI_PACK_SERVICE_BIN", TAVI_PACK_SERVICE_DEFAULT_BIN);

    compareWithBareGet(QStringLiteral("current(), typical pack, vs bare GET"),
        PackGenerator::typicalPackJson(), 300, 1.3);
    compareWithBareGet(QStringLiteral("current(), 5 MB pack, vs bare GET"),
        PackGenerator::largePackJson(), 15, 2.5);
    stallWhileFetching(PackGenerator::largePackJson());
    inlineDecodeCost();
    return Bench::exitCode();
}
