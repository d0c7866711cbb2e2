#pragma once

// A real HTTP/1.1 server on 127.0.0.1 for answers a well-behaved server never
// gives: any status, raw body bytes, a delay, no answer, a dropped connection.
// It records every request it receives.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <deque>
#include <functional>

class QTcpSocket;

struct ScriptedRequest
{
    QByteArray requestLine; // without the CRLF
    QByteArray method;
    QByteArray target;
    QList<QByteArray> headers; // the lines exactly as received, without their CRLF
    QByteArray body;

    // Every value of that header (case-insensitive name, trimmed value), in order.
    QList<QByteArray> headerValues(const QByteArray &name) const;
    QByteArray header(const QByteArray &name) const { return headerValues(name).value(0); }
    bool hasHeader(const QByteArray &name) const { return !headerValues(name).isEmpty(); }
};

struct ScriptedResponse
{
    enum class Action { Respond, Hang, Close };

    Action action = Action::Respond;
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers {};
    QByteArray body {};
    std::chrono::milliseconds delay {0};

    static ScriptedResponse text(int status, const QByteArray &body,
        const QByteArray &contentType = "text/plain; charset=utf-8");
    static ScriptedResponse json(int status, const QByteArray &body);
    static ScriptedResponse redirect(int status, const QByteArray &location);
    static ScriptedResponse hang() { return {.action = Action::Hang}; }
    static ScriptedResponse close() { return {.action = Action::Close}; }

    ScriptedResponse &withDelay(std::chrono::milliseconds wait)
    {
        delay = wait;
        return *this;
    }
};

class ScriptedHttpServer : public QObject
{
public:
    using Handler = std::function<ScriptedResponse(const ScriptedRequest &)>;

    ScriptedHttpServer();
    ~ScriptedHttpServer() override { close(); }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url(const QString &path = QString()) const;

    // Queued answers go first; then the handler; with neither, 404.
    void enqueue(const ScriptedResponse &response) { m_queue.push_back(response); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    QList<ScriptedRequest> requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    ScriptedRequest lastRequest() const { return m_requests.value(m_requests.size() - 1); }
    void clearRequests() { m_requests.clear(); }
    int connectionCount() const { return m_connectionCount; }
    // Connections still open now (a client that aborts closes its own).
    int openConnectionCount() const { return int(m_connections.size()); }

    bool waitForRequests(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Drops every connection, a hung one included, and stops listening.
    void close();

private:
    struct Connection
    {
        QByteArray buffer;
        bool busy = false; // an answer is pending, or the connection is closing
    };

    void serve(QTcpSocket *socket);
    void respond(QTcpSocket *socket, ScriptedResponse response);

    QTcpServer m_server;
    QHash<QTcpSocket *, Connection> m_connections;
    std::deque<ScriptedResponse> m_queue;
    Handler m_handler;
    QList<ScriptedRequest> m_requests;
    int m_connectionCount = 0;
};
