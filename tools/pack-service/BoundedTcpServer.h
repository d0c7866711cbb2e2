#pragma once

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>

#include <chrono>
#include <deque>
#include <memory>

class QTcpSocket;

// What one connection may cost the service.
struct ConnectionLimits
{
    qint64 maxBodyBytes = 8 * 1024 * 1024;
    // Past this many open connections a new one is answered 503 and closed.
    int maxConnections = 512;
    // From the first byte of a request head to its blank line.
    std::chrono::milliseconds headTimeout {20000};
    // Silence on a kept-alive connection between requests, or inside a body.
    std::chrono::milliseconds idleTimeout {60000};
};

// QtHttpServer 6.4 reads a whole request body into memory before any handler
// sees it, keeps every connection open forever (HTTP/1.0 and "Connection:
// close" included) and accepts as many as clients open. This listener watches
// each connection's bytes as they arrive, before the HTTP server reads them:
// a declared body over the limit gets 413 at once (a chunked one 411), a head
// that does not complete in time gets 408, an idle connection is closed, and
// connections past the cap are refused at once.
class BoundedTcpServer final : public QTcpServer
{
    Q_OBJECT

public:
    explicit BoundedTcpServer(ConnectionLimits limits, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    ConnectionLimits m_limits;
    std::shared_ptr<int> m_open = std::make_shared<int>(0);
};

// The watcher of one connection accepted by BoundedTcpServer. The HTTP layer
// asks it, once per answer, whether the connection stays open.
class RequestGate final : public QObject
{
    Q_OBJECT

public:
    RequestGate(QTcpSocket *socket, const ConnectionLimits &limits, std::shared_ptr<int> open);
    ~RequestGate() override;

    // Null for a socket that did not come through BoundedTcpServer.
    static RequestGate *of(QTcpSocket *socket);

    // Whether the connection stays open after the answer to its oldest
    // unanswered request: what the client asked for and its HTTP version allow.
    bool keepsAlive() const;
    // That answer has been handed to the socket: closes the connection once it
    // is written, or waits for the next request.
    void answered();

    void onReadyRead();

private:
    bool inspect(const QByteArray &head);
    void refuse(int status, const char *reason, const QString &text);
    void rearm();
    void onTimeout();

    QTcpSocket *m_socket;
    ConnectionLimits m_limits;
    std::shared_ptr<int> m_open;
    QByteArray m_head;
    QElapsedTimer m_headStarted;
    qint64 m_bodyLeft = 0;
    // Keep-alive of each request received and not yet answered, oldest first.
    std::deque<bool> m_unanswered;
    bool m_refused = false;
    QTimer m_timer;
};
