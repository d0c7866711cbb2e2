#include "ScriptedHttpServer.h"

#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

QList<QByteArray> ScriptedRequest::headerValues(const QByteArray &name) const
{
    QList<QByteArray> values;
    for (const QByteArray &line : headers) {
        const qsizetype colon = line.indexOf(':');
        if (line.left(colon).compare(name, Qt::CaseInsensitive) == 0)
            values.append(line.mid(colon + 1).trimmed());
    }
    return values;
}

ScriptedResponse ScriptedResponse::text(
    int status, const QByteArray &body, const QByteArray &contentType)
{
    ScriptedResponse response;
    response.status = status;
    response.body = body;
    response.headers.append({"Content-Type", contentType});
    return response;
}

ScriptedResponse ScriptedResponse::json(int status, const QByteArray &body)
{
    return text(status, body, "application/json");
}

ScriptedResponse ScriptedResponse::redirect(int status, const QByteArray &location)
{
    ScriptedResponse response;
    response.status = status;
    response.headers.append({"Location", location});
    return response;
}

ScriptedHttpServer::ScriptedHttpServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            ++m_connectionCount;
            socket->setParent(this);
            m_connections.insert(socket, {});
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_connections.remove(socket);
                socket->deleteLater();
            });
            serve(socket);
        }
    });
}

QUrl ScriptedHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:") + QString::number(port()) + path);
}

bool ScriptedHttpServer::waitForRequests(int count, std::chrono::milliseconds timeout)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= count; }, int(timeout.count()));
}

void ScriptedHttpServer::close()
{
    m_server.close();
    for (QTcpSocket *socket : m_connections.keys()) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_connections.clear();
}

void ScriptedHttpServer::serve(QTcpSocket *socket)
{
    while (m_connections.contains(socket) && !m_connections[socket].busy) {
        QByteArray &buffer = m_connections[socket].buffer;
        buffer += socket->readAll();
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        ScriptedRequest request;
        request.headers = buffer.left(headEnd).split('\n');
        for (QByteArray &line : request.headers)
            line.chop(line.endsWith('\r') ? 1 : 0);
        request.requestLine = request.headers.takeFirst();
        const QList<QByteArray> parts = request.requestLine.split(' ');
        request.method = parts.value(0);
        request.target = parts.value(1);
        const qsizetype end = headEnd + 4 + request.header("Content-Length").toLongLong();
        if (buffer.size() < end)
            return;
        request.body = buffer.mid(headEnd + 4, end - headEnd - 4);
        buffer.remove(0, end);
        m_requests.append(request);

        if (!m_queue.empty()) {
            respond(socket, m_queue.front());
            m_queue.pop_front();
        } else {
            respond(socket, m_handler ? m_handler(request) : ScriptedResponse::text(404, "none"));
        }
    }
}

void ScriptedHttpServer::respond(QTcpSocket *socket, ScriptedResponse response)
{
    if (response.action != ScriptedResponse::Action::Respond || response.delay > 0ms)
        m_connections[socket].busy = true;
    if (response.action == ScriptedResponse::Action::Hang)
        return;
    if (response.delay > 0ms) {
        const auto wait = std::exchange(response.delay, 0ms);
        QTimer::singleShot(wait, socket, [this, socket, response] {
            if (!m_connections.contains(socket))
                return;
            m_connections[socket].busy = false;
            respond(socket, response);
            serve(socket);
        });
        return;
    }
    if (response.action == ScriptedResponse::Action::Close) {
        socket->disconnectFromHost();
        return;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
    for (const auto &[name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
    socket->write(out + response.body);
}
