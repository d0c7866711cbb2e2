// The reference pack service under load: 50 clients on kept-alive connections,
// each sending its next request as soon as the last is answered. GET current,
// then publish. Reports requests per second, latency percentiles and failures
// (a connection error, a time-out or a 5xx); a 409 from racing publishes is the
// service refusing a stale draft, as it should, and is counted apart.

#include "BenchSupport.h"
#include "Memory.h"
#include "PackGenerator.h"
#include "PackServiceProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int clients = 50;

struct Results
{
    std::vector<double> latenciesMs;
    int failures = 0;
    int conflicts = 0;
    double seconds = 0;

    double percentile(double p)
    {
        if (latenciesMs.empty())
            return 0;
        const auto at = static_cast<size_t>(p * double(latenciesMs.size() - 1));
        std::nth_element(latenciesMs.begin(), latenciesMs.begin() + long(at), latenciesMs.end());
        return latenciesMs[at];
    }
};

// One kept-alive connection sending requests one after another.
class Connection
{
public:
    // Makes the next request; `previous` is the body of the last 200 answer.
    using NextRequest = std::function<QByteArray(const QByteArray &previous)>;

    Connection(
        quint16 port, int requests, NextRequest next, Results &results, std::function<void()> done)
        : m_left(requests)
        , m_next(std::move(next))
        , m_results(results)
        , m_done(std::move(done))
    {
        QObject::connect(&m_socket, &QTcpSocket::connected, [this] { sendNext({}); });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { onReadyRead(); });
        QObject::connect(&m_socket, &QTcpSocket::errorOccurred, [this] { fail(); });
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    }

    // Counts a request still unanswered when the run ends as a time-out.
    void abandon()
    {
        if (m_left > 0)
            fail();
    }

private:
    void sendNext(const QByteArray &previous)
    {
        if (m_left == 0) {
            finish();
            return;
        }
        m_clock.start();
        m_socket.write(m_next(previous));
    }

    void onReadyRead()
    {
        m_buffer += m_socket.readAll();
        const qsizetype end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = m_buffer.left(end);
        const qsizetype at = head.toLower().indexOf("content-length: ");
        const qsizetype length = at < 0 ? 0 : head.mid(at + 16).split('\r').first().toLongLong();
        if (m_buffer.size() < end + 4 + length)
            return;
        const int status = head.mid(9, 3).toInt();
        const QByteArray body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        m_results.latenciesMs.push_back(double(m_clock.nsecsElapsed()) / 1e6);
        --m_left;
        if (status >= 500 || status < 200)
            ++m_results.failures;
        if (status == 409)
            ++m_results.conflicts;
        sendNext(body);
    }

    void fail()
    {
        ++m_results.failures;
        m_left = 0;
        finish();
    }

    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        m_done();
    }

    QTcpSocket m_socket;
    QByteArray m_buffer;
    QElapsedTimer m_clock;
    int m_left;
    NextRequest m_next;
    Results &m_results;
    std::function<void()> m_done;
    bool m_finished = false;
};

Results run(quint16 port, int requestsEach, const Connection::NextRequest &next)
{
    Results results;
    QEventLoop loop;
    int running = clients;
    std::vector<std::unique_ptr<Connection>> connections;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < clients; ++i)
        connections.push_back(std::make_unique<Connection>(port, requestsEach, next, results, [&] {
            if (--running == 0)
                loop.quit();
        }));
    // Whatever is not answered by then counts as timed out.
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    results.seconds = double(clock.nsecsElapsed()) / 1e9;
    for (auto &connection : connections)
        connection->abandon();
    return results;
}

void report(const QString &name, Results results, double p99BudgetMs)
{
    const double count = double(results.latenciesMs.size());
    Bench::reportValue(name + QStringLiteral(", requests per second"), count / results.seconds,
        QStringLiteral("req/s"));
    Bench::reportValue(
        name + QStringLiteral(", median latency"), results.percentile(0.5), QStringLiteral("ms"));
    if (p99BudgetMs > 0)
        Bench::reportAbsolute(name + QStringLiteral(", p99 latency"), results.percentile(0.99),
            p99BudgetMs, QStringLiteral("ms"));
    else
        Bench::reportValue(
            name + QStringLiteral(", p99 latency"), results.percentile(0.99), QStringLiteral("ms"));
    Bench::reportAbsolute(
        name + QStringLiteral(", failed requests (connection errors, time-outs, 5xx)"),
        results.failures, 0, QStringLiteral("requests"));
    if (results.conflicts > 0) {
        Bench::reportValue(name + QStringLiteral(", stale-draft refusals (409)"), results.conflicts,
            QStringLiteral("answers"));
        Bench::reportValue(name + QStringLiteral(", publishes that went live per second"),
            (count - results.conflicts - results.failures) / results.seconds,
            QStringLiteral("req/s"));
    }
}

} // namespace

int main(int argc, char **argv)
{
    keepFreedMemoryForReuse();
    QCoreApplication app(argc, argv);
    if (!qEnvironmentVariableIsSet("TAVI_PACK_SERVICE_BIN"))
        qputenv("TAVI_PACK_SERVICE_BIN", TAVI_PACK_SERVICE_DEFAULT_BIN);

    QTemporaryDir dir;
    const QString seed = dir.filePath(QStringLiteral("seed.json"));
    QFile file(seed);
    const QByteArray packJson = PackGenerator::typicalPackJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(packJson) != packJson.size())
        qFatal("cannot write the seed pack");
    file.close();
    PackServiceProcess::Options options;
    options.seed = seed;
    options.db = dir.filePath(QStringLiteral("packs.db"));
    PackServiceProcess service(options);
    if (!service.start())
        qFatal("the pack service did not start: %s", qPrintable(service.output()));
    const auto port = quint16(service.baseUrl().port());

    const QByteArray get = "GET /api/capability-packs/current HTTP/1.1\r\nHost: bench\r\n\r\n";
    report(QStringLiteral("GET current, %1 clients").arg(clients),
        run(port, 400, [&](const QByteArray &) { return get; }), 10);

    // Each client publishes the live pack it last saw: the winner of a race
    // moves the version on, the others are refused and take the new version
    // from the refusal.
    QJsonObject draft = QJsonDocument::fromJson(packJson).object();
    const auto publish = [&](const QByteArray &previous) {
        const QJsonObject answer = QJsonDocument::fromJson(previous).object();
        if (answer.value(QStringLiteral("live_version")).isString())
            draft[QStringLiteral("version")] = answer.value(QStringLiteral("live_version"));
        const QByteArray body = QJsonDocument(
            QJsonObject {{QStringLiteral("pack"), draft},
                {QStringLiteral("coach_model"), QStringLiteral("apple-foundation")}})
                                    .toJson(QJsonDocument::Compact);
        return "POST /api/capability-packs/publish HTTP/1.1\r\nHost: bench\r\n"
               "Content-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    report(QStringLiteral("publish, %1 clients").arg(clients), run(port, 20, publish), 0);
    return Bench::exitCode();
}
