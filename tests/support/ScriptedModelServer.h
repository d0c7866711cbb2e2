#pragma once

// A local model server on 127.0.0.1 speaking the two OpenAI-compatible endpoints
// the model layer uses: GET /v1/models (the probe) and POST /v1/chat/completions
// (a run). It can be told to answer a given text, to be loading, failing, hanging,
// listing other models, refusing constrained output, or to be absent altogether,
// and it records what it received.

#include "ScriptedHttpServer.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <optional>

class ScriptedModelServer : public QObject
{
    Q_OBJECT

public:
    // Listens at once on a free loopback port, ready, answering "{}".
    explicit ScriptedModelServer(QObject *parent = nullptr);

    // "http://127.0.0.1:<port>/v1": what TAVI_MODEL_URL would hold.
    QUrl baseUrl() const;
    QString modelName() const { return m_modelName; }

    // Points the process's default model at this server, enabled, and waits for
    // its first probe. The run time-out is short so that a hanging test fails fast.
    void makeDefault(std::chrono::milliseconds responseTimeout = std::chrono::seconds(3),
        std::chrono::milliseconds probeTimeout = std::chrono::seconds(2));

    // Ready: the model is listed and a chat request answers `text` as the content.
    void setAnswer(const QString &text);
    // llama.cpp while it loads its weights: 503 "Loading model" on every endpoint.
    void setLoading();
    // Every endpoint answers `status` with an OpenAI-style error carrying `message`.
    void setFailing(int status, const QString &message = QStringLiteral("scripted failure"));
    // Requests are read and never answered.
    void setHanging();
    // The probe is answered normally; only chat requests get `response`.
    void setChatResponse(const ScriptedResponse &response);
    // The model list holds these ids instead of modelName().
    void setListedModels(const QStringList &ids);
    // Chat requests carrying "response_format" get 400, as from a server without
    // constrained output; plain ones are answered normally.
    void setRejectsResponseFormat(bool rejects);
    // Chat answers wait this long before they go out, as a model takes time to write.
    void setAnswerDelay(std::chrono::milliseconds delay) { m_answerDelay = delay; }
    // Stops listening: connections to the port are refused from now on.
    void setAbsent();

    QList<ScriptedRequest> requests() const { return m_http.requests(); }
    int probeCount() const;
    // The JSON bodies of the chat requests received, in order.
    QList<QJsonObject> chatRequests() const;
    void clearRequests() { m_http.clearRequests(); }
    ScriptedHttpServer &http() { return m_http; }

private:
    enum class Mode { ready, loading, failing, hanging };
    ScriptedResponse handle(const ScriptedRequest &request) const;
    ScriptedResponse modelList() const;
    ScriptedResponse chatAnswer(const QJsonObject &body) const;

    ScriptedHttpServer m_http;
    QString m_modelName = QStringLiteral("tavi-test-model");
    Mode m_mode = Mode::ready;
    QString m_answer = QStringLiteral("{}");
    int m_failStatus = 500;
    QString m_failMessage;
    std::optional<ScriptedResponse> m_chatResponse;
    std::optional<QStringList> m_listedModels;
    bool m_rejectsResponseFormat = false;
    std::chrono::milliseconds m_answerDelay {0};
};
