#include "ScriptedModelServer.h"

#include "Await.h"
#include "LanguageModel.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

ScriptedResponse errorAnswer(int status, const QString &message)
{
    return ScriptedResponse::json(status,
        compact(QJsonObject {{QStringLiteral("error"),
            QJsonObject {{QStringLiteral("code"), status}, {QStringLiteral("message"), message},
                {QStringLiteral("type"), QStringLiteral("server_error")}}}}));
}

} // namespace

ScriptedModelServer::ScriptedModelServer(QObject *parent)
    : QObject(parent)
{
    m_http.listen();
    m_http.setHandler([this](const ScriptedRequest &request) { return handle(request); });
}

QUrl ScriptedModelServer::baseUrl() const
{
    return m_http.url(QStringLiteral("/v1"));
}

void ScriptedModelServer::makeDefault(
    std::chrono::milliseconds responseTimeout, std::chrono::milliseconds probeTimeout)
{
    auto &model = SystemLanguageModel::defaultModel();
    model.setTimeouts(probeTimeout, responseTimeout);
    model.configure(baseUrl(), m_modelName, true);
    awaitTask(model.refreshAvailability());
}

void ScriptedModelServer::setAnswer(const QString &text)
{
    m_mode = Mode::ready;
    m_answer = text;
    m_chatResponse.reset();
}

void ScriptedModelServer::setLoading()
{
    m_mode = Mode::loading;
}

void ScriptedModelServer::setFailing(int status, const QString &message)
{
    m_mode = Mode::failing;
    m_failStatus = status;
    m_failMessage = message;
}

void ScriptedModelServer::setHanging()
{
    m_mode = Mode::hanging;
}

void ScriptedModelServer::setChatResponse(const ScriptedResponse &response)
{
    m_mode = Mode::ready;
    m_chatResponse = response;
}

void ScriptedModelServer::setListedModels(const QStringList &ids)
{
    m_listedModels = ids;
}

void ScriptedModelServer::setRejectsResponseFormat(bool rejects)
{
    m_rejectsResponseFormat = rejects;
}

void ScriptedModelServer::setAbsent()
{
    m_http.close();
}

int ScriptedModelServer::probeCount() const
{
    int count = 0;
    for (const auto &request : m_http.requests())
        count += request.method == "GET" && request.target == "/v1/models";
    return count;
}

QList<QJsonObject> ScriptedModelServer::chatRequests() const
{
    QList<QJsonObject> bodies;
    for (const auto &request : m_http.requests()) {
        if (request.method == "POST" && request.target == "/v1/chat/completions")
            bodies.append(QJsonDocument::fromJson(request.body).object());
    }
    return bodies;
}

ScriptedResponse ScriptedModelServer::modelList() const
{
    QJsonArray data;
    for (const QString &id : m_listedModels.value_or(QStringList {m_modelName})) {
        data.append(QJsonObject {{QStringLiteral("id"), id},
            {QStringLiteral("object"), QStringLiteral("model")},
            {QStringLiteral("owned_by"), QStringLiteral("library")}});
    }
    return ScriptedResponse::json(200,
        compact(QJsonObject {
            {QStringLiteral("object"), QStringLiteral("list")}, {QStringLiteral("data"), data}}));
}

ScriptedResponse ScriptedModelServer::handle(const ScriptedRequest &request) const
{
    switch (m_mode) {
    case Mode::loading:
        return errorAnswer(503, QStringLiteral("Loading model"));
    case Mode::failing:
        return errorAnswer(m_failStatus, m_failMessage);
    case Mode::hanging:
        return ScriptedResponse::hang();
    case Mode::ready:
        break;
    }
    if (request.method == "GET" && request.target == "/v1/models")
        return modelList();
    if (request.method != "POST" || request.target != "/v1/chat/completions")
        return errorAnswer(404, QStringLiteral("File Not Found"));

    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    if (m_rejectsResponseFormat && body.contains(QStringLiteral("response_format")))
        return errorAnswer(400,
            QStringLiteral("'response_format' of type 'json_schema' is not "
                           "supported"));
    if (m_chatResponse)
        return ScriptedResponse(*m_chatResponse).withDelay(m_answerDelay);
    return chatAnswer(body).withDelay(m_answerDelay);
}

ScriptedResponse ScriptedModelServer::chatAnswer(const QJsonObject &body) const
{
    const QJsonObject message {{QStringLiteral("role"), QStringLiteral("assistant")},
        {QStringLiteral("content"), m_answer}};
    return ScriptedResponse::json(200,
        compact(QJsonObject {{QStringLiteral("id"), QStringLiteral("chatcmpl-1")},
            {QStringLiteral("object"), QStringLiteral("chat.completion")},
            {QStringLiteral("model"), body.value(QStringLiteral("model"))},
            {QStringLiteral("choices"),
                QJsonArray {
                    QJsonObject {{QStringLiteral("index"), 0}, {QStringLiteral("message"), message},
                        {QStringLiteral("finish_reason"), QStringLiteral("stop")}}}}}));
}
