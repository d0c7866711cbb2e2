#include "FeedServer.h"

#include <QMetaObject>
#include <QTcpSocket>

FeedServer::FeedServer()
    : m_server(this)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                *buffer += socket->readAll();
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QByteArray line = buffer->left(buffer->indexOf("\r\n"));
                buffer->remove(0, end + 4);
                answer(socket, line.split(' ').value(1));
            });
        }
    });
}

QUrl FeedServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void FeedServer::answer(QTcpSocket *socket, const QByteArray &rawPath)
{
    const QString path = QString::fromUtf8(rawPath);
    ++m_total;
    ++m_requests[path];
    if (!m_routes.contains(path)) {
        socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
        return;
    }
    const Route &route = m_routes[path];
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + " Feed\r\n";
    head += "Content-Type: application/octet-stream\r\n";
    if (!route.location.isEmpty())
        head += "Location: " + route.location + "\r\n";
    if (route.omitLength)
        head += "Connection: close\r\n";
    else
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    socket->write(head + "\r\n");
    const bool cut = route.cutAfter >= 0;
    socket->write(cut ? route.body.left(route.cutAfter) : route.body);
    if (route.stallAfterCut)
        return;
    if (cut || route.omitLength)
        socket->disconnectFromHost();
}

ThreadedFeedServer::ThreadedFeedServer()
    : m_server(new FeedServer)
{
    if (!m_server->listen())
        qFatal("cannot listen on loopback");
}

ThreadedFeedServer::~ThreadedFeedServer()
{
    m_thread.quit();
    m_thread.wait();
}

void ThreadedFeedServer::start()
{
    m_server->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_server, &QObject::deleteLater);
    m_thread.start();
}
