#include "BoundedTcpServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

constexpr qsizetype maxHeadBytes = 64 * 1024;

// Follows the request boundaries on one connection, seeing the same bytes the
// HTTP server reads next, without consuming any of them.
class RequestGate : public QObject
{
public:
    RequestGate(QTcpSocket *socket, qint64 maxBodyBytes)
        : QObject(socket)
        , m_socket(socket)
        , m_maxBodyBytes(maxBodyBytes)
    { }

    // Connected before the HTTP server's own handler, so it runs first.
    void onReadyRead()
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
            const qsizetype before = m_head.size();
            m_head += fresh.mid(at);
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end < 0) {
                if (m_head.size() > maxHeadBytes)
                    return refuse(431, "Request Header Fields Too Large",
                        QStringLiteral("The request head is too large."));
                return;
            }
            at += end + 4 - before;
            const QByteArray head = m_head.left(end);
            m_head.clear();
            if (!inspect(head))
                return;
        }
    }

private:
    // False when the request was refused.
    bool inspect(const QByteArray &head)
    {
        const QList<QByteArray> lines = head.split('\n');
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
        }
        if (length > m_maxBodyBytes) {
            refuse(413, "Payload Too Large",
                QStringLiteral("The request body is larger than %1 bytes.").arg(m_maxBodyBytes));
            return false;
        }
        m_bodyLeft = length;
        return true;
    }

    // Answers and keeps draining what the client still sends for a moment, so
    // it reads the answer rather than a reset connection.
    void refuse(int status, const char *reason, const QString &text)
    {
        m_refused = true;
        m_socket->readAll();
        const QByteArray body = QJsonDocument(
            QJsonObject {{QStringLiteral("error"),
                text}}).toJson(QJsonDocument::Compact);
        m_socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason
            + "\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        std::fprintf(stderr, "(request) -> %d\n", status);
        QPointer<QTcpSocket> socket = m_socket;
        QTimer::singleShot(2000, m_socket, [socket] {
            if (socket)
                socket->disconnectFromHost();
        });
    }

    QTcpSocket *m_socket;
    qint64 m_maxBodyBytes;
    QByteArray m_head;
    qint64 m_bodyLeft = 0;
    bool m_refused = false;
};

} // namespace

BoundedTcpServer::BoundedTcpServer(qint64 maxBodyBytes, QObject *parent)
    : QTcpServer(parent)
    , m_maxBodyBytes(maxBodyBytes)
{ }

void BoundedTcpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    auto *gate = new RequestGate(socket, m_maxBodyBytes);
    connect(socket, &QTcpSocket::readyRead, gate, &RequestGate::onReadyRead);
    addPendingConnection(socket);
}
