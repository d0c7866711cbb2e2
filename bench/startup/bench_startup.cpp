// Start-up of the real window against a minimal Qt Quick Controls window (an
// ApplicationWindow with one Button): the time from process start to the first
// frame on screen, and the resident memory once that frame is drawn. Each run
// is a fresh process: this program starts itself again in a child mode, so
// nothing is warm but the page cache, as when an operator opens the program.
// It also counts what the window loads before its first frame without needing
// it for that frame: the TLS libraries and image-format plugins.

#include "BenchSupport.h"
#include "VelunorApp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr int runs = 9;

const char minimalQml[] = R"(
import QtQuick
import QtQuick.Controls
ApplicationWindow {
    width: 1100
    height: 760
    visible: true
    Button { text: "Button" }
}
)";

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong();
    }
    return -1;
}

// Shared objects mapped now that the first frame does not need: the TLS
// backend's libraries (a request to an https address) and image-format plugins
// (the first image read loads all of them).
int unneededLibraries()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return -1;
    QSet<QByteArray> found;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const QByteArray path = line.mid(line.indexOf('/'));
        if (path.contains("/libssl.so") || path.contains("/libcrypto.so")
            || path.contains("/plugins/tls/") || path.contains("/plugins/imageformats/"))
            found.insert(path);
    }
    return int(found.size());
}

// The child: one window, then the time of its first frame, the memory after
// it and what it loaded needlessly on stdout, then exit.
int child(int argc, char **argv, bool real)
{
    if (real)
        VelunorApp::prepareMemory(); // as the program does first thing
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    QQuickWindow *window = nullptr;
    std::optional<VelunorApp> velunor;
    if (real) {
        VelunorApp::describeApplication(); // as the program does
        velunor.emplace();
        window = velunor->openWindow(engine);
    } else {
        engine.loadData(QByteArray(minimalQml));
        const auto roots = engine.rootObjects();
        window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.constFirst());
    }
    if (!window)
        return 2;
    QObject::connect(
        window, &QQuickWindow::frameSwapped, &app,
        [] {
            const qint64 at = monotonicNs();
            std::printf("frame %lld rss %lld unneeded %d\n", static_cast<long long>(at),
                static_cast<long long>(residentKb()), unneededLibraries());
            std::fflush(stdout);
            QCoreApplication::exit(0);
        },
        Qt::SingleShotConnection);
    return QGuiApplication::exec();
}

struct Sample
{
    double startToFrameNs = 0;
    double residentKb = 0;
    int unneeded = 0;
};

Sample runChild(const QString &mode, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 started = monotonicNs();
    process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), mode});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        qFatal("the %s window did not draw a frame", qPrintable(mode));
    long long frame = 0;
    long long rss = 0;
    int unneeded = 0;
    if (std::sscanf(process.readAllStandardOutput().constData(), "frame %lld rss %lld unneeded %d",
            &frame, &rss, &unneeded)
        != 3)
        qFatal("the %s child said nothing readable", qPrintable(mode));
    return Sample {static_cast<double>(frame - started), static_cast<double>(rss), unneeded};
}

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return child(argc, argv, std::strcmp(argv[2], "real") == 0);

    QCoreApplication app(argc, argv);
    QTemporaryDir runtime;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    // No model server to probe, and a service address that refuses at once:
    // the appearance load runs as it does at every start, on loopback only,
    // and over TLS as the built-in address asks for.
    environment.insert(QStringLiteral("TAVI_MODEL"), QStringLiteral("off"));
    environment.insert(QStringLiteral("TAVI_API_BASE"), QStringLiteral("https://127.0.0.1:9"));
    // The updater's settings of an operator who has used the program for a
    // while, with a scheduled check due now; never the settings of whoever runs
    // the benchmark.
    const QString config = runtime.filePath(QStringLiteral("config"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    QDir().mkpath(config + QStringLiteral("/vuzev-tavi"));
    QFile settings(config + QStringLiteral("/vuzev-tavi/updater.ini"));
    if (!settings.open(QIODevice::WriteOnly))
        qFatal("cannot write the updater's settings");
    settings.write("[General]\naskedAboutAutomaticChecks=true\nautomaticallyChecksForUpdates=true\n"
                   "lastCheckTime=2020-01-01T00:00:00.000Z\nlaunchCount=20\n");
    settings.close();

    runChild(QStringLiteral("minimal"), environment); // warm the page cache
    runChild(QStringLiteral("real"), environment);
    std::vector<double> minimalTime, realTime, minimalRss, realRss;
    int unneeded = 0;
    for (int i = 0; i < runs; ++i) {
        const Sample minimal = runChild(QStringLiteral("minimal"), environment);
        const Sample real = runChild(QStringLiteral("real"), environment);
        minimalTime.push_back(minimal.startToFrameNs);
        realTime.push_back(real.startToFrameNs);
        minimalRss.push_back(minimal.residentKb);
        realRss.push_back(real.residentKb);
        unneeded = std::max(unneeded, real.unneeded);
    }
    Bench::reportRatio(QStringLiteral("start to first frame, the window vs a minimal window"),
        median(realTime), median(minimalTime), 1.5);
    Bench::reportRatioIn(QStringLiteral("resident memory after the first frame, the same two"),
        median(realRss), median(minimalRss), 1.5, QStringLiteral("kB"));
    Bench::reportAbsolute(
        QStringLiteral("TLS libraries and image-format plugins loaded before the first frame"),
        unneeded, 0, QStringLiteral("files"));
    return Bench::exitCode();
}
