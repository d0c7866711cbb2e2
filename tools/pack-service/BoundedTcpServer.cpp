#include "BoundedTcpServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>

#include <cstdio>
#include <sys/socket.h>

namespace {

constexpr qsizetype maxHeadBytes = 64 * 1024;

QByteArray errorAnswer(int status, const char *reason, const QString &text)
{
    const QByteArray body = QJsonDocument(
        QJsonObject {{QStringLiteral("error"),
            text}}).toJson(QJsonDocument::Compact);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
        + "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\nConnection: close\r\n\r\n" + body;
}

// Answered at once and closed within a second, so that the connections already
// open keep their share and the process keeps descriptors to refuse with. The
// request is read and dropped, and the sending side closed first: closing with
// unread bytes would reset the connection before the client reads the answer.
void refuseConnection(QTcpSocket *socket)
{
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    const auto halfClose = [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, halfClose);
    QTimer::singleShot(1000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write(errorAnswer(503, "Service Unavailable",
        QStringLiteral("Too many open connections; try again shortly.")));
    socket->flush();
    halfClose();
}

} // namespace

BoundedTcpServer::BoundedTcpServer(ConnectionLimits limits, QObject *parent)
    : QTcpServer(parent)
    , m_limits(limits)
{ }

void BoundedTcpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (*m_open >= m_limits.maxConnections) {
        // Answered and closed at once, so that the connections already open keep
        // their share and the process keeps descriptors to refuse with.
        refuseConnection(socket);
        std::fprintf(stderr, "(connection) -> 503, %d open\n", *m_open);
        return;
    }
    auto *gate = new RequestGate(socket, m_limits, m_open);
    connect(socket, &QTcpSocket::readyRead, gate, &RequestGate::onReadyRead);
    addPendingConnection(socket);
}

RequestGate::RequestGate(
    QTcpSocket *socket, const ConnectionLimits &limits, std::shared_ptr<int> open)
    : QObject(socket)
    , m_socket(socket)
    , m_limits(limits)
    , m_open(std::move(open))
{
    ++*m_open;
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RequestGate::onTimeout);
    rearm();
}

RequestGate::~RequestGate()
{
    --*m_open;
}

RequestGate *RequestGate::of(QTcpSocket *socket)
{
    return socket->findChild<RequestGate *>(QString(), Qt::FindDirectChildrenOnly);
}

bool RequestGate::keepsAlive() const
{
    return !m_unanswered.empty() && m_unanswered.front();
}

void RequestGate::answered()
{
    if (m_unanswered.empty())
        return;
    const bool keep = m_unanswered.front();
    m_unanswered.pop_front();
    if (!keep) {
        m_timer.stop();
        m_refused = true; // whatever else arrives is not read
        m_socket->disconnectFromHost();
        return;
    }
    rearm();
}

// Connected before the HTTP server's own handler, so it runs first and sees the
// same bytes the HTTP server reads next, without consuming any of them.
void RequestGate::onReadyRead()
{
    if (m_refused) {
        m_socket->readAll();
        return;
    }
    const QByteArray fresh = m_socket->peek(m_socket->bytesAvailable());
    qsizetype at = 0;
    while (at < fresh.size()) {
        if (m_bodyLeft > 0) {
            const qint64 step = qMin<qint64>(m_bodyLeft, fresh.size() - at);
            m_bodyLeft -= step;
            at += step;
            continue;
        }
        if (m_head.isEmpty())
            m_headStarted.start();
        const qsizetype before = m_head.size();
        m_head += fresh.mid(at);
        const qsizetype end = m_head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_head.size() > maxHeadBytes)
                return refuse(431, "Request Header Fields Too Large",
                    QStringLiteral("The request head is too large."));
            break;
        }
        at += end + 4 - before;
        const QByteArray head = m_head.left(end);
        m_head.clear();
        if (!inspect(head))
            return;
    }
    rearm();
}

// False when the request was refused.
bool RequestGate::inspect(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QByteArray requestLine = lines.value(0).trimmed();
    const bool http11 = requestLine.endsWith(" HTTP/1.1");
    bool asksClose = false;
    bool asksKeepAlive = false;
    qint64 length = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding" && value.toLower() != "identity") {
            refuse(411, "Length Required",
                QStringLiteral("Send the request body with a Content-Length."));
            return false;
        }
        if (name == "content-length") {
            bool ok = false;
            length = value.toLongLong(&ok);
            if (!ok || length < 0)
                length = 0; // the HTTP server's own parser refuses it
        }
        if (name == "connection") {
            for (const QByteArray &option : value.toLower().split(',')) {
                asksClose = asksClose || option.trimmed() == "close";
                asksKeepAlive = asksKeepAlive || option.trimmed() == "keep-alive";
            }
        }
    }
    if (length > m_limits.maxBodyBytes) {
        refuse(413, "Payload Too Large",
            QStringLiteral("The request body is larger than %1 bytes.").arg(m_limits.maxBodyBytes));
        return false;
    }
    m_bodyLeft = length;
    // HTTP/1.1 keeps a connection unless asked not to; HTTP/1.0 only when asked.
    m_unanswered.push_back(!asksClose && (http11 || asksKeepAlive));
    return true;
}

// Answers and keeps draining what the client still sends for a moment, so it
// reads the answer rather than a reset connection.
void RequestGate::refuse(int status, const char *reason, const QString &text)
{
    m_refused = true;
    m_timer.stop();
    m_socket->readAll();
    m_socket->write(errorAnswer(status, reason, text));
    std::fprintf(stderr, "(request) -> %d\n", status);
    QPointer<QTcpSocket> socket = m_socket;
    QTimer::singleShot(2000, m_socket, [socket] {
        if (socket)
            socket->disconnectFromHost();
    });
}

// One deadline at a time: the head's (counted from its first byte, so a head
// sent a byte at a time cannot stretch it), silence inside a body or between
// requests, or none while a request is being answered.
void RequestGate::rearm()
{
    if (m_refused)
        return;
    if (m_bodyLeft > 0 || (m_head.isEmpty() && m_unanswered.empty())) {
        m_timer.start(m_limits.idleTimeout);
    } else if (!m_head.isEmpty()) {
        const auto left = m_limits.headTimeout - std::chrono::milliseconds(m_headStarted.elapsed());
        m_timer.start(qMax(left, std::chrono::milliseconds(0)));
    } else {
        m_timer.stop();
    }
}

void RequestGate::onTimeout()
{
    if (!m_head.isEmpty() && m_bodyLeft == 0)
        return refuse(
            408, "Request Timeout", QStringLiteral("The request head did not arrive in time."));
    m_refused = true;
    m_socket->disconnectFromHost();
}
