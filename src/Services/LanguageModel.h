#pragma once

// The language model on this machine: a local model server speaking the
// OpenAI-compatible chat API, reached on loopback only. Names follow the
// on-device model framework that the coach was first written against.

#include "Cancellation.h"
#include "TaviError.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

struct GenerationOptions
{
    std::optional<QString> sampling;
    std::optional<double> temperature;
    std::optional<int> maximumResponseTokens;
};

// The body of one non-streaming OpenAI-compatible chat request: the system
// message, then the one user message. Shared with the reference pack service.
QJsonObject chatCompletionBody(const QString &model, const QString &system, const QString &user);

// A model run failed: server error (status and message), time-out, malformed answer.
class LanguageModelError : public TaviError
{
public:
    using TaviError::TaviError;
};

class SystemLanguageModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isAvailable READ isAvailable NOTIFY availabilityChanged)

public:
    struct Availability
    {
        enum class Reason {
            none,
            deviceNotEligible,
            appleIntelligenceNotEnabled,
            modelNotReady,
            other
        };
        Reason reason = Reason::other;
        // For Reason::other: a short account of why (e.g. the status the server answered).
        QString description;

        bool isAvailable() const { return reason == Reason::none; }
        friend bool operator==(const Availability &, const Availability &) = default;
    };

    // The process-wide model, configured from the environment on first use.
    static SystemLanguageModel &defaultModel();

    // The latest probe's answer. Never blocks; cheap enough to read on every redraw.
    Availability availability() const;
    bool isAvailable() const;

    // Awaits a fresh probe (joining one already under way) and returns its answer.
    QCoro::Task<Availability> refreshAvailability();

    QUrl endpoint() const;
    QString modelName() const;
    // Points the model at another server; used by the program's set-up and by tests.
    void configure(const QUrl &endpoint, const QString &modelName, bool enabled = true);

    // How long a probe and a model run may take. A run is bounded so that a wedged
    // server cannot hold a coach run for ever, yet long enough for a slow CPU model.
    void setTimeouts(
        std::chrono::milliseconds probeTimeout, std::chrono::milliseconds responseTimeout);
    std::chrono::milliseconds responseTimeout() const;

Q_SIGNALS:
    void availabilityChanged();

private:
    explicit SystemLanguageModel(QObject *parent = nullptr);
    void setAvailability(const Availability &availability);
    void startProbe();
    QCoro::Task<> probe();
    QCoro::Task<Availability> probeOnce(
        QUrl endpoint, QString modelName, bool enabled, std::chrono::milliseconds timeout);

    struct Private;
    Private *d;
};

// One conversation: the instructions as the system message, exactly one prompt.
class LanguageModelSession
{
public:
    LanguageModelSession(SystemLanguageModel &model, QString instructions);

    // The answer text. Throws LanguageModelError. `responseSchema`, when given and
    // the server supports it, constrains the answer to that JSON schema.
    QCoro::Task<QString> respond(QString prompt, GenerationOptions options = {},
        std::optional<QJsonObject> responseSchema = std::nullopt);

    // Runs answered after this are stopped by `cancellation`: the request is
    // aborted and respond() fails with a LanguageModelError saying so.
    void setCancellation(CancellationHandle cancellation)
    {
        m_cancellation = std::move(cancellation);
    }

private:
    SystemLanguageModel *m_model;
    QString m_instructions;
    CancellationHandle m_cancellation;
};
