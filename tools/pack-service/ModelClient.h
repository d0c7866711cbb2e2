#pragma once

#include "TaviError.h"

#include <QCoroTask>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// The model server did not answer, answered with an error, or answered with
// something that is not a chat completion. The service answers 502 with this text.
class ModelError : public TaviError
{
public:
    using TaviError::TaviError;
};

// One OpenAI-compatible chat model: POST {baseUrl}/chat/completions with a system
// and a user message, the answer's first choice back as text.
class ModelClient
{
public:
    ModelClient(QUrl baseUrl, QString model, QNetworkAccessManager *network);

    const QString &model() const { return m_model; }

    // Throws ModelError.
    QCoro::Task<QString> complete(QString system, QString user) const;

private:
    QUrl m_endpoint;
    QString m_model;
    QNetworkAccessManager *m_network;
};
