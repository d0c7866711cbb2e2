#pragma once

#include <QTcpServer>

// QtHttpServer 6.4 reads a whole request body into memory before any handler
// sees it (measured: a 200 MB POST took the service to 415 MB resident). This
// listener looks at each request head as it arrives and answers a declared
// body over the limit with 413 at once, discarding the bytes instead of
// buffering them; a chunked body, whose size nobody declares, gets 411.
class BoundedTcpServer final : public QTcpServer
{
    Q_OBJECT

public:
    BoundedTcpServer(qint64 maxBodyBytes, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qint64 m_maxBodyBytes;
};
