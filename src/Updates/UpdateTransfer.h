#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <optional>

class QThread;

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;

// What a transfer leaves when it has finished: the body (when it was kept in
// memory), why it failed (empty on success), the HTTP status, and whether it was
// cancelled. Shared by the transfer and the job that runs it on another thread.
class TransferOutcome
{
public:
    QByteArray body() const { return m_body; }
    QString error() const { return m_error; }
    bool cancelled() const { return m_cancelled; }
    int status() const { return m_status; }

protected:
    QByteArray m_body;
    QString m_error;
    int m_status = 0;
    bool m_cancelled = false;
};

// One bounded GET of the feed, its signature or an archive. Bounded in size
// (the expected length when known, and an absolute cap), in inactivity and in
// total time; redirects are followed only to addresses the updater may use.
class UpdateTransfer : public QObject, public TransferOutcome
{
    Q_OBJECT

public:
    struct Limits
    {
        qint64 maxBytes = 0;
        qint64 expectedLength = -1; // exact length the body must have, when known
        int inactivityMs = 60'000;
        int totalMs = 15 * 60'000;
    };

    // Feeds and archives come over https; plain http only from this machine.
    // The reason for refusing `url`, or nullopt when it may be fetched.
    static std::optional<QString> refusalFor(const QUrl &url);

    // With a null `sink` the body is kept in memory (body()).
    UpdateTransfer(QNetworkAccessManager &network, const QUrl &url, const Limits &limits,
        QIODevice *sink, QObject *parent = nullptr);
    ~UpdateTransfer() override;

    // finished() follows exactly once, never from inside start().
    void start();
    void cancel();

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    void finished();

private:
    void receive();
    void fail(const QString &reason);
    void complete();

    QNetworkAccessManager &m_network;
    QUrl m_url;
    Limits m_limits;
    QIODevice *m_sink;
    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    qint64 m_received = 0;
    bool m_done = false;
};

// Runs one UpdateTransfer on the updater's network thread, so that neither the
// network nor the disk writes of a large download ever hold up the
// user-interface thread. Lives on the caller's thread; mirrors the transfer's
// outcome once it has finished.
class UpdateTransferJob : public QObject, public TransferOutcome
{
    Q_OBJECT

public:
    // With an empty `filePath` the body is kept in memory (body()); otherwise
    // it is appended to that (existing, empty) file.
    UpdateTransferJob(QThread &networkThread, const QUrl &url, const UpdateTransfer::Limits &limits,
        const QString &filePath, QObject *parent = nullptr);
    ~UpdateTransferJob() override;

    void start();
    void cancel();

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    void finished();

private:
    class Worker;
    Worker *m_worker;
};
