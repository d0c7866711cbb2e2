#pragma once

// A local model server on 127.0.0.1 speaking GET /v1/models and
// POST /v1/chat/completions, as the model layer expects, recording what it gets.

#include "ScriptedHttpServer.h"

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <optional>

class ScriptedModelServer
{
public:
    // Listens at once on a free loopback port, ready, answering "{}".
    ScriptedModelServer();

    // "http://127.0.0.1:<port>/v1"
    QUrl baseUrl() const { return m_http.url(QStringLiteral("/v1")); }
    QString modelName() const { return QStringLiteral("tavi-test-model"); }

    // Points the default model at this server and waits for its first probe.
    void makeDefault(std::chrono::milliseconds responseTimeout = std::chrono::seconds(3));

    void setAnswer(const QString &text);
    // Every request is read and never answered.
    void setHanging() { m_hanging = true; }
    // Only chat requests get `response`.
    void setChatResponse(const ScriptedResponse &response) { m_chatResponse = response; }
    // Chat requests with "response_format" get 400; plain ones are answered.
    void setRejectsResponseFormat(bool rejects) { m_rejectsResponseFormat = rejects; }
    void setAnswerDelay(std::chrono::milliseconds delay) { m_answerDelay = delay; }
    // Connections are refused from now on.
    void setAbsent() { m_http.close(); }

    QList<ScriptedRequest> requests() const { return m_http.requests(); }
    // The JSON bodies of the chat requests received, in order.
    QList<QJsonObject> chatRequests() const;
    ScriptedHttpServer &http() { return m_http; }

private:
    ScriptedResponse handle(const ScriptedRequest &request) const;

    ScriptedHttpServer m_http;
    QString m_answer = QStringLiteral("{}");
    bool m_hanging = false;
    std::optional<ScriptedResponse> m_chatResponse;
    bool m_rejectsResponseFormat = false;
    std::chrono::milliseconds m_answerDelay {0};
};
