#pragma once

// Runs the built tavi-pack-service (TAVI_PACK_SERVICE_BIN) on an ephemeral
// loopback port for a test, and kills it when the test is done with it.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>

class PackServiceProcess
{
public:
    struct Options
    {
        // A file name, or ":memory:".
        QString db = QStringLiteral(":memory:");
        // Empty: the seeded Tavi pack kept with the service (defaultSeedPath()).
        QString seed;
        // Empty: the service asks for no token.
        QString token;
        QString modelUrl;
        QString model;
        // Anything else to pass, e.g. {"--pause-in-publish", "3"}.
        QStringList extraArguments;
    };

    PackServiceProcess();
    explicit PackServiceProcess(Options options);
    ~PackServiceProcess();
    PackServiceProcess(const PackServiceProcess &) = delete;
    PackServiceProcess &operator=(const PackServiceProcess &) = delete;

    // Starts the service and runs the event loop until it prints the address it
    // listens on, it exits, or `timeout` passes. True when it is listening.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // SIGKILL, then waits for the process to be gone.
    void kill();
    // Starts again with the same options (the same database file).
    bool restart(std::chrono::milliseconds timeout = std::chrono::seconds(15));

    bool isRunning() const;
    // "http://127.0.0.1:<port>", valid after a successful start.
    QUrl baseUrl() const { return m_baseUrl; }
    const Options &options() const { return m_options; }

    // Runs the event loop until the service's standard output holds `text`
    // (counted from the last start) or `timeout` passes.
    bool waitForOutput(
        const QString &text, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Everything the service wrote to stdout and stderr since the last start:
    // for failure messages.
    QString output() const;

    // tools/pack-service/seed/tavi-pack.json in the source tree.
    static QString defaultSeedPath();

private:
    void collect();

    Options m_options;
    QProcess m_process;
    QByteArray m_stdout;
    QByteArray m_stderr;
    QUrl m_baseUrl;
};
