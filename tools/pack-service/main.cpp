// tavi-pack-service: a small, real pack service for running and testing Vuzev
// Tavi on one machine. Prints "listening on http://HOST:PORT" once it accepts.

#include "BoundedTcpServer.h"
#include "Memory.h"
#include "ModelClient.h"
#include "PackServer.h"
#include "PackStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QSocketNotifier>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int quitPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(quitPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop so the database closes normally; the
// data would be safe without it, this only keeps the WAL file tidy.
void quitOnSignals(QCoreApplication *app)
{
    if (::pipe(quitPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

[[noreturn]] void fail(const QString &text)
{
    std::fprintf(stderr, "tavi-pack-service: %s\n", qPrintable(text));
    std::exit(2);
}

void warn(const QString &text)
{
    std::fprintf(stderr, "tavi-pack-service: warning: %s\n", qPrintable(text));
}

int positive(const QCommandLineParser &parser, const QCommandLineOption &option, int fallback)
{
    if (!parser.isSet(option))
        return fallback;
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value <= 0)
        fail(QStringLiteral("--%1 wants a positive number").arg(option.names().constFirst()));
    return value;
}

struct Listen
{
    QHostAddress address;
    quint16 port = 0;
};

Listen parseListen(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        fail(QStringLiteral("--listen wants HOST:PORT, got \"%1\"").arg(text));
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port > 65535)
        fail(QStringLiteral("--listen has no valid port in \"%1\"").arg(text));
    QHostAddress address = host == QLatin1String("localhost")
        ? QHostAddress(QHostAddress::LocalHost)
        : QHostAddress(host);
    if (address.isNull())
        fail(QStringLiteral("--listen has no valid IP address in \"%1\"").arg(text));
    return Listen {address, static_cast<quint16>(port)};
}

} // namespace

int main(int argc, char *argv[])
{
    keepFreedMemoryForReuse();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavi-pack-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reference pack service for Vuzev Tavi."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral("Address to listen on (port 0: any free)."), QStringLiteral("HOST:PORT"),
        QStringLiteral("127.0.0.1:8787"));
    const QCommandLineOption dbOption(QStringLiteral("db"),
        QStringLiteral("SQLite database file, or :memory:."), QStringLiteral("FILE"),
        QStringLiteral(":memory:"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
        QStringLiteral("Pack made live when the database is empty."), QStringLiteral("PACK.json"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("Operator token every request must carry (visible to other local users "
                       "in the process list; prefer --token-env)."),
        QStringLiteral("TOKEN"));
    const QCommandLineOption tokenEnvOption(QStringLiteral("token-env"),
        QStringLiteral("Name of an environment variable holding the operator token."),
        QStringLiteral("VAR"));
    const QCommandLineOption modelUrlOption(QStringLiteral("model-url"),
        QStringLiteral("OpenAI-compatible server; {URL}/chat/completions is called."),
        QStringLiteral("URL"));
    const QCommandLineOption modelOption(QStringLiteral("model"),
        QStringLiteral("Model name sent to the model server."), QStringLiteral("NAME"));
    const QCommandLineOption openOption(QStringLiteral("allow-without-token"),
        QStringLiteral("Serve a non-loopback address without a token: anyone who reaches the "
                       "port can publish and roll back."));
    const QCommandLineOption maxConnectionsOption(QStringLiteral("max-connections"),
        QStringLiteral("Open connections at most; further ones get 503 (default 512)."),
        QStringLiteral("N"));
    QCommandLineOption headTimeoutOption(QStringLiteral("head-timeout-ms"),
        QStringLiteral("Testing: time allowed for a request head."), QStringLiteral("MS"));
    headTimeoutOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption idleTimeoutOption(QStringLiteral("idle-timeout-ms"),
        QStringLiteral("Testing: time an idle connection stays open."), QStringLiteral("MS"));
    idleTimeoutOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption pauseOption(QStringLiteral("pause-in-publish"),
        QStringLiteral("Testing: stall inside the N-th publish, just "
                       "before its commit."),
        QStringLiteral("N"));
    pauseOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({listenOption, dbOption, seedOption, tokenOption, tokenEnvOption, openOption,
        maxConnectionsOption, modelUrlOption, modelOption, headTimeoutOption, idleTimeoutOption,
        pauseOption});
    parser.process(app);

    const Listen listen = parseListen(parser.value(listenOption));

    QByteArray token;
    if (parser.isSet(tokenOption) && parser.isSet(tokenEnvOption))
        fail(QStringLiteral("give either --token or --token-env, not both"));
    if (parser.isSet(tokenOption))
        token = parser.value(tokenOption).toUtf8();
    if (parser.isSet(tokenEnvOption))
        token = qgetenv(parser.value(tokenEnvOption).toLocal8Bit().constData());
    if ((parser.isSet(tokenOption) || parser.isSet(tokenEnvOption)) && token.isEmpty())
        fail(
            QStringLiteral("the operator token is empty; leave the option out to run without one"));

    // Without a token the service publishes for whoever reaches it; on loopback
    // that is this machine's users, beyond it anyone on the network.
    const bool loopback = listen.address.isLoopback();
    if (token.isEmpty() && !loopback && !parser.isSet(openOption))
        fail(QStringLiteral("refusing to serve %1 without an operator token: give --token-env "
                            "(or --token), or --allow-without-token to serve it to anyone")
                 .arg(parser.value(listenOption)));
    if (token.isEmpty())
        warn(QStringLiteral("no operator token: every request that reaches the port is served, "
                            "publish and rollback included"));
    if (!loopback)
        warn(QStringLiteral("%1 is not a loopback address and this service has no TLS: "
                            "the token and the packs cross the network in clear; put a TLS proxy "
                            "in front")
                 .arg(parser.value(listenOption)));

    ConnectionLimits limits;
    limits.maxBodyBytes = PackServer::maxBodyBytes;
    limits.maxConnections = positive(parser, maxConnectionsOption, limits.maxConnections);
    limits.headTimeout = std::chrono::milliseconds(
        positive(parser, headTimeoutOption, int(limits.headTimeout.count())));
    limits.idleTimeout = std::chrono::milliseconds(
        positive(parser, idleTimeoutOption, int(limits.idleTimeout.count())));
    // Each connection holds a descriptor, and refusing one takes another.
    struct rlimit files = {};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        limits.maxConnections = qMax(1, qMin<int>(limits.maxConnections, int(files.rlim_cur) - 64));

    QNetworkAccessManager network;
    std::optional<ModelClient> model;
    if (parser.isSet(modelUrlOption) != parser.isSet(modelOption))
        fail(QStringLiteral("--model-url and --model go together"));
    if (parser.isSet(modelUrlOption)) {
        const QUrl url(parser.value(modelUrlOption), QUrl::StrictMode);
        if (!url.isValid()
            || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
            fail(QStringLiteral("--model-url is not an http(s) URL"));
        model.emplace(url, parser.value(modelOption), &network);
    }

    std::unique_ptr<PackStore> store;
    try {
        store = std::make_unique<PackStore>(parser.value(dbOption));
        if (store->isEmpty() && parser.isSet(seedOption)) {
            QFile file(parser.value(seedOption));
            if (!file.open(QIODevice::ReadOnly))
                fail(QStringLiteral("cannot read the seed pack %1: %2")
                         .arg(file.fileName(), file.errorString()));
            store->seed(CapabilityPack::fromJson(file.readAll()));
        }
    } catch (const TaviError &error) {
        fail(error.description());
    }

    if (parser.isSet(pauseOption)) {
        const int stallAt = parser.value(pauseOption).toInt();
        store->setBeforeCommitHook([stallAt, count = 0]() mutable {
            if (++count != stallAt)
                return;
            std::fprintf(stdout, "publish paused before commit\n");
            std::fflush(stdout);
            QThread::sleep(60);
        });
    }

    PackServer server(store.get(), std::move(token), std::move(model));
    auto *listener = new BoundedTcpServer(limits, &server);
    if (!listener->listen(listen.address, listen.port))
        fail(QStringLiteral("cannot listen on %1: %2")
                 .arg(parser.value(listenOption), listener->errorString()));
    server.bind(listener);
    const quint16 port = listener->serverPort();

    const QString host = listen.address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(listen.address.toString())
        : listen.address.toString();
    std::fprintf(stdout, "listening on http://%s:%u\n", qPrintable(host), unsigned(port));
    std::fflush(stdout);

    quitOnSignals(&app);
    return QCoreApplication::exec();
}
