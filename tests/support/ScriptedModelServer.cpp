#include "ScriptedModelServer.h"

#include "Await.h"
#include "LanguageModel.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace {

ScriptedResponse json(int status, const QJsonObject &object)
{
    return ScriptedResponse::json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

ScriptedResponse errorAnswer(int status, const QString &message)
{
    return json(status, {{u"error"_s, QJsonObject {{u"code"_s, status}, {u"message"_s, message}}}});
}

} // namespace

ScriptedModelServer::ScriptedModelServer()
{
    m_http.listen();
    m_http.setHandler([this](const ScriptedRequest &request) { return handle(request); });
}

void ScriptedModelServer::makeDefault(std::chrono::milliseconds responseTimeout)
{
    auto &model = SystemLanguageModel::defaultModel();
    model.setTimeouts(std::chrono::seconds(2), responseTimeout);
    model.configure(baseUrl(), modelName(), true);
    awaitTask(model.refreshAvailability());
}

void ScriptedModelServer::setAnswer(const QString &text)
{
    m_answer = text;
    m_chatResponse.reset();
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

ScriptedResponse ScriptedModelServer::handle(const ScriptedRequest &request) const
{
    if (m_hanging)
        return ScriptedResponse::hang();
    if (request.method == "GET" && request.target == "/v1/models")
        return json(200, {{u"data"_s, QJsonArray {QJsonObject {{u"id"_s, modelName()}}}}});
    if (request.method != "POST" || request.target != "/v1/chat/completions")
        return errorAnswer(404, u"File Not Found"_s);

    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    if (m_rejectsResponseFormat && body.contains(u"response_format"_s))
        return errorAnswer(400, u"'response_format' is not supported"_s);
    if (m_chatResponse)
        return ScriptedResponse(*m_chatResponse).withDelay(m_answerDelay);
    const QJsonObject message {{u"role"_s, u"assistant"_s}, {u"content"_s, m_answer}};
    return json(200,
        {{u"model"_s, body.value(u"model"_s)},
            {u"choices"_s,
                QJsonArray {QJsonObject {
                    {u"index"_s, 0}, {u"message"_s, message}, {u"finish_reason"_s, u"stop"_s}}}}})
        .withDelay(m_answerDelay);
}
