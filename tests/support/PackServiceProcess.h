#pragma once

// Runs the built tavi-pack-service (TAVI_PACK_SERVICE_BIN) on an ephemeral
// loopback port, and kills it when done.

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
        QString db = QStringLiteral(":memory:");
        QString seed; // empty: defaultSeedPath()
        QString token; // empty: no token asked for
        QString modelUrl;
        QString model;
        QStringList extraArguments;
    };

    PackServiceProcess()
        : PackServiceProcess(Options {})
    { }
    explicit PackServiceProcess(Options options);
    ~PackServiceProcess() { kill(); }
    PackServiceProcess(const PackServiceProcess &) = delete;
    PackServiceProcess &operator=(const PackServiceProcess &) = delete;

    // True once the service prints the address it listens on.
    bool start();
    void kill();
    QUrl baseUrl() const { return m_baseUrl; }

    // Whether the service's stdout since the last start holds `text` within `timeout`.
    bool waitForOutput(
        const QString &text, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // stdout and stderr since the last start.
    QString output() const { return QString::fromUtf8(m_stdout + m_stderr); }

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
