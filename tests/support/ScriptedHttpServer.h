#pragma once

// A real HTTP/1.1 server on 127.0.0.1 for answers that a well-behaved server
// never gives: any status line, raw body bytes, chosen headers, a delay, no
// answer at all, or a dropped connection. Built on QTcpServer rather than
// QtHttpServer because the latter normalises exactly what these tests need to
// break. It runs on the event loop of the thread that creates it and records
// every request it receives.

#include <QByteArray>
#include <QHash>
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
    QByteArray method;
    QByteArray target; // as on the request line: path and query
    QByteArray version; // e.g. "HTTP/1.1"
    QByteArray requestLine; // without the CRLF
    // Names as received, values with the blanks around them removed, in order.
    QList<QPair<QByteArray, QByteArray>> headers;
    // The header lines exactly as received, without their CRLF: for values whose
    // blanks matter.
    QList<QByteArray> headerLines;
    QByteArray body; // decoded from Content-Length or chunked framing
    int connection = 0; // 1 for the first connection the server accepted, and so on

    // The first header of that name (case-insensitive), or a null QByteArray.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    // Every header of that name (case-insensitive), in order.
    QList<QByteArray> headerValues(const QByteArray &name) const;
};

struct ScriptedResponse
{
    enum class Action {
        Respond, // send the status line, headers and body
        Hang, // read the request and never answer; the connection stays open
        Close, // close the connection without answering
    };

    Action action = Action::Respond;
    int status = 200;
    QByteArray reason; // empty: a usual phrase for the status, or "Status"
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Wait this long before answering (or closing).
    std::chrono::milliseconds delay {0};
    // Content-Length is added unless a header of that name or Transfer-Encoding is given.
    bool addContentLength = true;
    // Close the connection after this answer.
    bool closeAfter = false;
    // When not null, these bytes are written instead of a formed answer
    // (status, headers and body are then ignored).
    QByteArray raw;

    static ScriptedResponse text(int status, const QByteArray &body,
        const QByteArray &contentType = "text/plain; charset=utf-8");
    static ScriptedResponse json(int status, const QByteArray &body);
    static ScriptedResponse redirect(int status, const QByteArray &location);
    static ScriptedResponse hang();
    static ScriptedResponse close();
    static ScriptedResponse rawBytes(const QByteArray &bytes);

    ScriptedResponse &withHeader(const QByteArray &name, const QByteArray &value);
    ScriptedResponse &withDelay(std::chrono::milliseconds wait);
};

class ScriptedHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<ScriptedResponse(const ScriptedRequest &)>;

    explicit ScriptedHttpServer(QObject *parent = nullptr);
    ~ScriptedHttpServer() override;

    // Listens on 127.0.0.1 at a free port. False when that fails.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by `path`.
    QUrl url(const QString &path = QString()) const;

    // Canned answers are used first, in order; when none is left the handler
    // answers; with neither, 404.
    void enqueue(const ScriptedResponse &response);
    void setHandler(Handler handler);

    QList<ScriptedRequest> requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    ScriptedRequest lastRequest() const;
    void clearRequests() { m_requests.clear(); }
    int connectionCount() const { return m_connectionCount; }

    // Runs the event loop until `count` requests have arrived or `timeout` has
    // passed; returns whether they arrived.
    bool waitForRequests(
        int count, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Closes every open connection (a hung one included) and stops listening.
    void close();

signals:
    void requestReceived(const ScriptedRequest &request);

private:
    struct Connection
    {
        QTcpSocket *socket = nullptr;
        int index = 0;
        QByteArray buffer;
        bool busy = false; // an answer is pending (delayed or hung)
        bool closing = false;
    };

    void onNewConnection();
    void processBuffer(Connection &connection);
    // Parses one complete request off the front of the buffer; false when more
    // bytes are needed. Sets `malformed` for text that is not HTTP.
    bool takeRequest(Connection &connection, ScriptedRequest &request, bool &malformed);
    ScriptedResponse nextResponse(const ScriptedRequest &request);
    void answer(
        QTcpSocket *socket, const ScriptedRequest &request, const ScriptedResponse &response);
    static QByteArray format(const ScriptedResponse &response);

    QTcpServer m_server;
    QHash<QTcpSocket *, Connection> m_connections;
    std::deque<ScriptedResponse> m_queue;
    Handler m_handler;
    QList<ScriptedRequest> m_requests;
    int m_connectionCount = 0;
};
