#pragma once

#include "ModelClient.h"
#include "PackStore.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QCoroTask>
#include <QHttpServerResponder>
#include <QPointer>

#include <exception>
#include <memory>
#include <optional>

class QTcpSocket;

// The HTTP face of the store: the five pack endpoints, the operator token, and a
// JSON error for every refused request. Runs on the caller's event loop; model
// calls are awaited without blocking it, so reads keep flowing while a model thinks.
class PackServer final : public QAbstractHttpServer
{
    Q_OBJECT

public:
    // Requests with a larger body are refused with 413 before they are parsed.
    static constexpr qsizetype maxBodyBytes = 8 * 1024 * 1024;

    // `token` empty: no token is asked for. `model` absent: coach and preview
    // answer 503.
    PackServer(PackStore *store, QByteArray token, std::optional<ModelClient> model,
        QObject *parent = nullptr);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Reply
    {
        QHttpServerResponder::StatusCode status = QHttpServerResponder::StatusCode::Ok;
        QByteArray body;
        QByteArray contentType = QByteArrayLiteral("application/json");
        QByteArray allow = {};
    };

    bool authorized(const QHttpServerRequest &request) const;
    // nullopt: a model call has taken the responder and answers later.
    std::optional<Reply> route(const QHttpServerRequest &request, QTcpSocket *socket);
    Reply current();
    Reply history();
    Reply publish(const QByteArray &body);
    Reply rollback(const QByteArray &body);
    std::optional<Reply> startModelCall(
        bool coach, const QHttpServerRequest &request, QTcpSocket *socket);

    QCoro::Task<> answerCoach(QHttpServerResponder responder, QPointer<QTcpSocket> socket,
        QString instruction, CapabilityPack pack);
    QCoro::Task<> answerPreview(QHttpServerResponder responder, QPointer<QTcpSocket> socket,
        QString message, CapabilityPack pack);

    // Says whether the connection stays open, and closes it after the answer when not.
    static void send(QHttpServerResponder &responder, const Reply &reply, QTcpSocket *socket);
    static Reply error(QHttpServerResponder::StatusCode status, const QString &text);
    static Reply modelFailure(std::exception_ptr failure);
    QByteArray liveEnvelope();

    PackStore *m_store;
    QByteArray m_token;
    std::optional<ModelClient> m_model;
    // The answer to GET current, kept until the next write: reads far outnumber writes.
    std::optional<QByteArray> m_liveEnvelope;
    // Cleared first on destruction; model calls check it after every await.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

public:
    ~PackServer() override;
};
