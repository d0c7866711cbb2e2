#include "ModelClient.h"

#include "JsonRead.h"
#include "LanguageModel.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <chrono>
#include <memory>

namespace {

// Local models can take minutes on a first, cold answer; this is an inactivity
// limit, so a model that keeps streaming is never cut off.
constexpr std::chrono::milliseconds modelTimeout {180'000};

QUrl chatEndpoint(QUrl base)
{
    QString path = base.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    base.setPath(path + QStringLiteral("/chat/completions"));
    return base;
}

QString choiceContent(const QByteArray &body)
{
    try {
        JsonRead::Document document(body);
        const auto root = JsonRead::object(document.root(), QStringLiteral("answer"));
        const auto choices = JsonRead::member(root, "choices");
        if (!choices)
            throw ModelError(QStringLiteral("The model server's answer has no choices."));
        simdjson::dom::array array;
        if (choices->get_array().get(array) != simdjson::SUCCESS || array.size() == 0)
            throw ModelError(QStringLiteral("The model server's answer has no choices."));
        simdjson::dom::element first;
        if (array.at(0).get(first) != simdjson::SUCCESS)
            throw ModelError(QStringLiteral("The model server's answer has no choices."));
        const auto choice = JsonRead::object(first, QStringLiteral("choices[0]"));
        const auto message = JsonRead::member(choice, "message");
        if (!message)
            throw ModelError(QStringLiteral("The model server's answer has no message."));
        // Some servers send null for an empty completion; an empty answer is an answer.
        return JsonRead::optionalString(
            JsonRead::object(*message, QStringLiteral("choices[0].message")), "content",
            QStringLiteral("choices[0].message"))
            .value_or(QStringLiteral(""));
    } catch (const JsonReadError &error) {
        throw ModelError(
            QStringLiteral("The model server's answer does not read: %1").arg(error.description()));
    }
}

} // namespace

ModelClient::ModelClient(QUrl baseUrl, QString model, QNetworkAccessManager *network)
    : m_endpoint(chatEndpoint(std::move(baseUrl)))
    , m_model(std::move(model))
    , m_network(network)
{ }

QCoro::Task<QString> ModelClient::complete(QString system, QString user) const
{
    const QJsonObject body = chatCompletionBody(m_model, system, user);
    QNetworkRequest request(m_endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setTransferTimeout(static_cast<int>(modelTimeout.count()));
    // The model server is a plain HTTP peer; following its redirects elsewhere
    // would send the operator's drafts to a host nobody configured.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        m_network->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)),
        [](QNetworkReply *r) { r->deleteLater(); });
    co_await reply.get();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray answer = reply->readAll();
    if (reply->error() != QNetworkReply::NoError && status == 0)
        throw ModelError(QStringLiteral("The model server at %1 could not be reached: %2")
                             .arg(m_endpoint.toString(QUrl::RemoveUserInfo), reply->errorString()));
    if (status < 200 || status > 299)
        throw ModelError(QStringLiteral("The model server answered %1: %2")
                             .arg(status)
                             .arg(QString::fromUtf8(answer.left(500))));
    co_return choiceContent(answer);
}
