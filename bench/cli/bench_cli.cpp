// tavi-pack as a pipeline starts it, a fresh process each time, against the
// bare tools that do the least of the same job, measured in the same run:
// - pull of a 5 MB live pack from the reference service against curl fetching
//   the same URL (tavi-pack also checks the answer and writes the pack's bytes
//   out of it);
// - lint of a 5 MB file against a program that only reads it with the pack's
//   reader (bench_cli_reader, which sets memory up as tavi-pack does but loads
//   fewer shared libraries: see CMakeLists.txt).
// Runs alternate, so a busy moment of the machine hits both alike.

#include "BenchSupport.h"
#include "PackGenerator.h"
#include "PackServiceProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int runs = 11;

double median(std::vector<double> samples)
{
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// Wall time from start to exit of one process, its output thrown away.
double runNanos(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        qFatal("%s %s failed (status %d)", qPrintable(program), qPrintable(arguments.join(u' ')),
            process.exitCode());
    return static_cast<double>(clock.nsecsElapsed());
}

// Alternating runs of two commands; the medians of each.
std::pair<double, double> alternate(
    const std::function<double()> &measured, const std::function<double()> &baseline)
{
    measured();
    baseline();
    std::vector<double> a;
    std::vector<double> b;
    for (int i = 0; i < runs; ++i) {
        a.push_back(measured());
        b.push_back(baseline());
    }
    return {median(a), median(b)};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qputenv("TAVI_PACK_SERVICE_BIN", TAVI_PACK_SERVICE_BIN_PATH);
    QTemporaryDir dir;
    const QString packPath = dir.filePath(QStringLiteral("large.json"));
    {
        QFile file(packPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(PackGenerator::largePackJson()) < 0)
            qFatal("cannot write the large pack");
    }
    std::printf("pack: %.1f MB\n", static_cast<double>(QFile(packPath).size()) / 1e6);

    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty()) {
        std::printf("curl is not installed (scripts/setup.sh installs it): OVER BUDGET\n");
        return 1;
    }
    PackServiceProcess::Options options;
    options.seed = packPath;
    PackServiceProcess service(options);
    if (!service.start())
        qFatal("the pack service did not start: %s", qPrintable(service.output()));
    const QString url
        = service.baseUrl().toString() + QStringLiteral("/api/capability-packs/current");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAVI_API_BASE"), service.baseUrl().toString());
    environment.insert(QStringLiteral("TAVI_MODEL"), QStringLiteral("off"));
    environment.remove(QStringLiteral("TAVI_OPERATOR_TOKEN"));

    const auto [pull, fetch] = alternate(
        [&] {
            return runNanos(
                QStringLiteral(TAVI_PACK_BIN_PATH), {QStringLiteral("pull")}, environment);
        },
        [&] {
            return runNanos(curl,
                {QStringLiteral("-sf"), QStringLiteral("-o"), QStringLiteral("/dev/null"), url});
        });
    Bench::reportRatio(
        QStringLiteral("tavi-pack pull of a 5 MB pack vs curl of the same URL"), pull, fetch, 1.2);

    // Why pull does not read the pack strictly: the reader alone over the same
    // bytes, in a fresh process, against the fetch.
    const auto [readAlone, fetchAgain] = alternate(
        [&] { return runNanos(QStringLiteral(TAVI_READER_BIN_PATH), {packPath}); },
        [&] {
            return runNanos(curl,
                {QStringLiteral("-sf"), QStringLiteral("-o"), QStringLiteral("/dev/null"), url});
        });
    Bench::reportValue(QStringLiteral("reading the 5 MB pack in a fresh process, in curls of it"),
        readAlone / fetchAgain, QStringLiteral("x"));

    const auto [lint, read] = alternate(
        [&] {
            return runNanos(QStringLiteral(TAVI_PACK_BIN_PATH), {QStringLiteral("lint"), packPath});
        },
        [&] { return runNanos(QStringLiteral(TAVI_READER_BIN_PATH), {packPath}); });
    Bench::reportRatio(
        QStringLiteral("tavi-pack lint of a 5 MB file vs a process that only reads it"), lint, read,
        1.2);
    return Bench::exitCode();
}
