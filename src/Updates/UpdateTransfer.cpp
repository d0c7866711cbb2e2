#include "UpdateTransfer.h"

#include <QFile>
#include <QHostAddress>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

std::optional<QString> UpdateTransfer::refusalFor(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return QStringLiteral("The update address \u201c%1\u201d is not a valid web address.")
            .arg(url.toDisplayString());
    const QString scheme = url.scheme().toLower();
    if (scheme == u"https")
        return std::nullopt;
    const QHostAddress address(url.host());
    const bool loopback = url.host().compare(u"localhost", Qt::CaseInsensitive) == 0
        || (!address.isNull() && address.isLoopback());
    if (scheme == u"http" && loopback)
        return std::nullopt;
    return QStringLiteral("Refused to fetch %1: updates are only fetched over https.")
        .arg(url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
}

UpdateTransfer::UpdateTransfer(QNetworkAccessManager &network, const QUrl &url,
    const Limits &limits, QIODevice *sink, QObject *parent)
    : QObject(parent)
    , m_network(network)
    , m_url(url)
    , m_limits(limits)
    , m_sink(sink)
    , m_deadline(this)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this,
        [this] { fail(QStringLiteral("The transfer from %1 took too long.").arg(m_url.host())); });
}

UpdateTransfer::~UpdateTransfer()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void UpdateTransfer::start()
{
    if (const auto refusal = refusalFor(m_url)) {
        // Refused before any connection is made.
        m_error = *refusal;
        QTimer::singleShot(0, this, &UpdateTransfer::complete);
        return;
    }
    QNetworkRequest request(m_url);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    request.setTransferTimeout(m_limits.inactivityMs);
    request.setAttribute(
        QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    m_reply = m_network.get(request);
    // Small slices keep each turn of the event loop short and memory flat.
    m_reply->setReadBufferSize(256 * 1024);
    m_deadline.start(m_limits.totalMs);

    connect(m_reply, &QNetworkReply::redirected, this, [this](const QUrl &target) {
        if (const auto refusal = refusalFor(target)) {
            fail(*refusal);
            return;
        }
        Q_EMIT m_reply->redirectAllowed();
    });
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        if (!m_reply)
            return;
        m_status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QVariant header = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (!header.isValid() || m_status < 200 || m_status > 299)
            return;
        const qint64 announced = header.toLongLong();
        if (m_limits.expectedLength >= 0 && announced != m_limits.expectedLength)
            fail(QStringLiteral("The server sends %1 bytes, but the feed says the archive has %2.")
                     .arg(announced)
                     .arg(m_limits.expectedLength));
        else if (announced > m_limits.maxBytes)
            fail(QStringLiteral("The download from %1 is larger than the updater accepts.")
                     .arg(m_url.host()));
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &UpdateTransfer::receive);
    connect(m_reply, &QNetworkReply::finished, this, &UpdateTransfer::complete);
}

void UpdateTransfer::cancel()
{
    m_cancelled = true;
    fail(QStringLiteral("Cancelled."));
}

void UpdateTransfer::receive()
{
    if (!m_reply || m_done)
        return;
    m_status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray chunk = m_reply->readAll();
    if (m_status < 200 || m_status > 299)
        return; // an error page; its status is the reason
    m_received += chunk.size();
    const qint64 bound = m_limits.expectedLength >= 0
        ? std::min(m_limits.expectedLength, m_limits.maxBytes)
        : m_limits.maxBytes;
    if (m_received > bound) {
        fail(m_limits.expectedLength >= 0 && m_received > m_limits.expectedLength
                ? QStringLiteral("The download is longer than the %1 bytes the feed announces.")
                      .arg(m_limits.expectedLength)
                : QStringLiteral("The download from %1 is larger than the updater accepts.")
                      .arg(m_url.host()));
        return;
    }
    if (m_sink) {
        if (m_sink->write(chunk) != chunk.size()) {
            fail(QStringLiteral("The download could not be saved: %1.").arg(m_sink->errorString()));
            return;
        }
    } else {
        m_body += chunk;
    }
    Q_EMIT progress(m_received, m_limits.expectedLength);
}

void UpdateTransfer::fail(const QString &reason)
{
    if (m_done)
        return;
    if (m_error.isEmpty())
        m_error = reason;
    if (m_reply)
        m_reply->abort(); // finished() follows and completes
    else
        QTimer::singleShot(0, this, &UpdateTransfer::complete);
}

void UpdateTransfer::complete()
{
    if (m_done)
        return;
    if (m_reply && m_error.isEmpty()) {
        receive();
        const auto failure = m_reply->error();
        if (m_status != 0 && (m_status < 200 || m_status > 299))
            m_error = QStringLiteral("The update server %1 answered with status %2.")
                          .arg(m_url.host())
                          .arg(m_status);
        else if (failure != QNetworkReply::NoError && m_received == 0)
            m_error = QStringLiteral("The update server %1 could not be reached: %2.")
                          .arg(m_url.host(), m_reply->errorString());
        else if (m_limits.expectedLength >= 0 && m_received != m_limits.expectedLength)
            m_error
                = QStringLiteral("The download ended after %1 of the %2 bytes the feed announces.")
                      .arg(m_received)
                      .arg(m_limits.expectedLength);
        else if (failure != QNetworkReply::NoError)
            m_error = QStringLiteral("The transfer from %1 was cut off: %2.")
                          .arg(m_url.host(), m_reply->errorString());
    }
    m_done = true;
    m_deadline.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    Q_EMIT finished();
}

class UpdateTransferJob::Worker : public QObject
{
    Q_OBJECT

public:
    Worker(const QUrl &url, const UpdateTransfer::Limits &limits, const QString &filePath)
        : m_url(url)
        , m_limits(limits)
        , m_file(filePath)
    { }

    void run()
    {
        auto *network = new QNetworkAccessManager(this);
        QIODevice *sink = nullptr;
        if (!m_file.fileName().isEmpty()) {
            if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
                Q_EMIT done({},
                    QStringLiteral("The download could not be saved: %1.")
                        .arg(m_file.errorString()),
                    0, false);
                return;
            }
            sink = &m_file;
        }
        m_transfer = new UpdateTransfer(*network, m_url, m_limits, sink, this);
        connect(m_transfer, &UpdateTransfer::progress, this, &Worker::progress);
        connect(m_transfer, &UpdateTransfer::finished, this, [this] {
            QString error = m_transfer->error();
            if (m_file.isOpen() && !m_file.flush() && error.isEmpty())
                error = QStringLiteral("The download could not be saved: %1.")
                            .arg(m_file.errorString());
            m_file.close();
            Q_EMIT done(m_transfer->body(), error, m_transfer->status(), m_transfer->cancelled());
        });
        m_transfer->start();
    }

    void cancel()
    {
        if (m_transfer)
            m_transfer->cancel();
    }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    void done(const QByteArray &body, const QString &error, int status, bool cancelled);

private:
    QUrl m_url;
    UpdateTransfer::Limits m_limits;
    QFile m_file;
    QPointer<UpdateTransfer> m_transfer;
};

UpdateTransferJob::UpdateTransferJob(QThread &networkThread, const QUrl &url,
    const UpdateTransfer::Limits &limits, const QString &filePath, QObject *parent)
    : QObject(parent)
    , m_worker(new Worker(url, limits, filePath))
{
    m_worker->moveToThread(&networkThread);
    connect(m_worker, &Worker::progress, this, &UpdateTransferJob::progress);
    connect(m_worker, &Worker::done, this,
        [this](const QByteArray &body, const QString &error, int status, bool cancelled) {
            m_body = body;
            m_error = error;
            m_status = status;
            m_cancelled = cancelled;
            Q_EMIT finished();
        });
}

UpdateTransferJob::~UpdateTransferJob()
{
    // Deleted on its own thread, which aborts a transfer still running.
    m_worker->disconnect(this);
    m_worker->deleteLater();
}

void UpdateTransferJob::start()
{
    QMetaObject::invokeMethod(m_worker, &Worker::run, Qt::QueuedConnection);
}

void UpdateTransferJob::cancel()
{
    m_cancelled = true;
    QMetaObject::invokeMethod(m_worker, &Worker::cancel, Qt::QueuedConnection);
}

#include "UpdateTransfer.moc"
