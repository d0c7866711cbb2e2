#include "ScriptedHttpServer.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Request heads larger than this are not HTTP from any client we test.
constexpr qsizetype maxHeadBytes = 1 << 20;

QByteArray usualReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 413:
        return "Payload Too Large";
    case 422:
        return "Unprocessable Entity";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool sameName(const QByteArray &a, const QByteArray &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Decodes a complete chunked body starting at `from`. Returns the number of
// bytes consumed, 0 when more bytes are needed, -1 when the framing is broken.
qsizetype decodeChunked(const QByteArray &buffer, qsizetype from, QByteArray &body)
{
    qsizetype pos = from;
    body.clear();
    for (;;) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", pos);
        if (lineEnd < 0)
            return 0;
        QByteArray sizeText = buffer.mid(pos, lineEnd - pos);
        if (const qsizetype semicolon = sizeText.indexOf(';'); semicolon >= 0)
            sizeText.truncate(semicolon);
        bool ok = false;
        const qsizetype size = sizeText.trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return -1;
        pos = lineEnd + 2;
        if (size == 0) {
            // Trailers, then the empty line.
            for (;;) {
                const qsizetype end = buffer.indexOf("\r\n", pos);
                if (end < 0)
                    return 0;
                const bool empty = end == pos;
                pos = end + 2;
                if (empty)
                    return pos - from;
            }
        }
        if (buffer.size() < pos + size + 2)
            return 0;
        body.append(buffer.constData() + pos, size);
        pos += size + 2;
    }
}

} // namespace

QByteArray ScriptedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (sameName(key, name))
            return value;
    }
    return QByteArray();
}

bool ScriptedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (sameName(entry.first, name))
            return true;
    }
    return false;
}

QList<QByteArray> ScriptedRequest::headerValues(const QByteArray &name) const
{
    QList<QByteArray> values;
    for (const auto &[key, value] : headers) {
        if (sameName(key, name))
            values.append(value);
    }
    return values;
}

ScriptedResponse ScriptedResponse::text(
    int status, const QByteArray &body, const QByteArray &contentType)
{
    ScriptedResponse response;
    response.status = status;
    response.body = body;
    if (!contentType.isEmpty())
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

ScriptedResponse ScriptedResponse::hang()
{
    ScriptedResponse response;
    response.action = Action::Hang;
    return response;
}

ScriptedResponse ScriptedResponse::close()
{
    ScriptedResponse response;
    response.action = Action::Close;
    return response;
}

ScriptedResponse ScriptedResponse::rawBytes(const QByteArray &bytes)
{
    ScriptedResponse response;
    response.raw = bytes.isNull() ? QByteArray("") : bytes;
    return response;
}

ScriptedResponse &ScriptedResponse::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append({name, value});
    return *this;
}

ScriptedResponse &ScriptedResponse::withDelay(std::chrono::milliseconds wait)
{
    delay = wait;
    return *this;
}

ScriptedHttpServer::ScriptedHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedHttpServer::onNewConnection);
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    close();
}

bool ScriptedHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 ScriptedHttpServer::port() const
{
    return m_server.serverPort();
}

QUrl ScriptedHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:") + QString::number(port()) + path);
}

void ScriptedHttpServer::enqueue(const ScriptedResponse &response)
{
    m_queue.push_back(response);
}

void ScriptedHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

ScriptedRequest ScriptedHttpServer::lastRequest() const
{
    return m_requests.isEmpty() ? ScriptedRequest() : m_requests.last();
}

bool ScriptedHttpServer::waitForRequests(int count, std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    while (m_requests.size() < count && !deadline.hasExpired())
        QEventLoop().processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    return m_requests.size() >= count;
}

void ScriptedHttpServer::close()
{
    m_server.close();
    const auto sockets = m_connections.keys();
    m_connections.clear();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void ScriptedHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        Connection connection;
        connection.socket = socket;
        connection.index = ++m_connectionCount;
        m_connections.insert(socket, connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            auto it = m_connections.find(socket);
            if (it == m_connections.end())
                return;
            it->buffer.append(socket->readAll());
            processBuffer(*it);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
        // Bytes may have arrived with the connection itself.
        if (socket->bytesAvailable() > 0) {
            m_connections[socket].buffer.append(socket->readAll());
            processBuffer(m_connections[socket]);
        }
    }
}

void ScriptedHttpServer::processBuffer(Connection &connection)
{
    QTcpSocket *socket = connection.socket;
    while (m_connections.contains(socket)) {
        Connection &current = m_connections[socket];
        if (current.busy || current.closing)
            return;
        ScriptedRequest request;
        bool malformed = false;
        if (!takeRequest(current, request, malformed)) {
            if (malformed) {
                current.closing = true;
                socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: "
                              "close\r\n\r\n");
                socket->disconnectFromHost();
            }
            return;
        }
        request.connection = current.index;
        m_requests.append(request);
        emit requestReceived(request);
        ScriptedResponse response = nextResponse(request);

        if (response.action == ScriptedResponse::Action::Hang) {
            current.busy = true;
            return;
        }
        if (response.delay.count() > 0) {
            current.busy = true;
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(response.delay, this, [this, guard, request, response] {
                if (!guard || !m_connections.contains(guard.data()))
                    return;
                answer(guard.data(), request, response);
                if (m_connections.contains(guard.data())) {
                    m_connections[guard.data()].busy = false;
                    processBuffer(m_connections[guard.data()]);
                }
            });
            return;
        }
        answer(socket, request, response);
    }
}

bool ScriptedHttpServer::takeRequest(
    Connection &connection, ScriptedRequest &request, bool &malformed)
{
    QByteArray &buffer = connection.buffer;
    // Stray CRLFs between requests are allowed by HTTP/1.1.
    while (buffer.startsWith("\r\n"))
        buffer.remove(0, 2);
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        malformed = buffer.size() > maxHeadBytes;
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    request.requestLine = lines.first().chopped(lines.first().endsWith('\r') ? 1 : 0);
    const QList<QByteArray> parts = request.requestLine.split(' ');
    if (parts.size() != 3) {
        malformed = true;
        return false;
    }
    request.method = parts[0];
    request.target = parts[1];
    request.version = parts[2];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            malformed = true;
            return false;
        }
        request.headerLines.append(line);
        request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    const qsizetype bodyStart = headEnd + 4;
    qsizetype consumed = 0;
    if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
        const qsizetype used = decodeChunked(buffer, bodyStart, request.body);
        if (used < 0) {
            malformed = true;
            return false;
        }
        if (used == 0)
            return false;
        consumed = bodyStart + used;
    } else {
        qsizetype length = 0;
        if (request.hasHeader("Content-Length")) {
            bool ok = false;
            length = request.header("Content-Length").toLongLong(&ok);
            if (!ok || length < 0) {
                malformed = true;
                return false;
            }
        }
        if (buffer.size() < bodyStart + length)
            return false;
        request.body = buffer.mid(bodyStart, length);
        consumed = bodyStart + length;
    }
    buffer.remove(0, consumed);
    return true;
}

ScriptedResponse ScriptedHttpServer::nextResponse(const ScriptedRequest &request)
{
    if (!m_queue.empty()) {
        ScriptedResponse response = m_queue.front();
        m_queue.pop_front();
        return response;
    }
    if (m_handler)
        return m_handler(request);
    return ScriptedResponse::text(404, "no scripted answer");
}

void ScriptedHttpServer::answer(
    QTcpSocket *socket, const ScriptedRequest &request, const ScriptedResponse &response)
{
    Connection &connection = m_connections[socket];
    if (response.action == ScriptedResponse::Action::Close) {
        connection.closing = true;
        socket->disconnectFromHost();
        return;
    }
    if (response.action == ScriptedResponse::Action::Hang) {
        connection.busy = true;
        return;
    }
    socket->write(response.raw.isNull() ? format(response) : response.raw);
    const bool clientCloses = sameName(request.header("Connection"), "close")
        || (request.version == "HTTP/1.0" && !sameName(request.header("Connection"), "keep-alive"));
    if (response.closeAfter || clientCloses) {
        connection.closing = true;
        socket->disconnectFromHost();
    }
}

QByteArray ScriptedHttpServer::format(const ScriptedResponse &response)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + (response.reason.isEmpty() ? usualReason(response.status) : response.reason) + "\r\n";
    bool framed = false;
    for (const auto &[name, value] : response.headers) {
        if (sameName(name, "Content-Length") || sameName(name, "Transfer-Encoding"))
            framed = true;
        out += name + ": " + value + "\r\n";
    }
    if (response.addContentLength && !framed)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (response.closeAfter)
        out += "Connection: close\r\n";
    out += "\r\n";
    out += response.body;
    return out;
}
