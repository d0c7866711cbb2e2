#pragma once

// A loopback HTTP server for update feeds and archives: each path answers with
// its bytes, or misbehaves on purpose (no length, a body cut off half-way, a
// stall). Counts the requests per path.

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <QThread>
#include <QUrl>

#include <atomic>

class FeedServer : public QObject
{
public:
    struct Route
    {
        QByteArray body {};
        int status = 200;
        bool omitLength = false; // close the connection to end the body
        qint64 cutAfter = -1; // send this many body bytes, then drop the connection
        bool stallAfterCut = false; // keep the connection open after the cut instead
        QByteArray location {}; // with a 3xx status
    };

    FeedServer();
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QUrl url(const QString &path) const;
    void route(const QString &path, const Route &route) { m_routes.insert(path, route); }
    void serve(const QString &path, const QByteArray &body)
    {
        Route plain;
        plain.body = body;
        route(path, plain);
    }
    int requests(const QString &path) const { return m_requests.value(path); }
    int totalRequests() const { return m_total; }

private:
    void answer(class QTcpSocket *socket, const QByteArray &path);

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    QHash<QString, int> m_requests;
    std::atomic<int> m_total = 0;
};

// The same server on a thread of its own, so that serving large bodies does not
// run on the event loop being measured.
class ThreadedFeedServer
{
public:
    ThreadedFeedServer();
    ~ThreadedFeedServer();
    // Listens at once; set up the routes, then start().
    FeedServer &server() { return *m_server; }
    void start();
    QUrl url(const QString &path) const { return m_server->url(path); }

private:
    QThread m_thread;
    FeedServer *m_server;
};
