#include "LanguageModel.h"

#include "JsonRead.h"
#include "Network.h"
#include "StartupGate.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <simdjson.h>

#include <memory>
#include <string_view>

using namespace std::chrono_literals;

namespace {

// Ollama's default address: the local model server most Linux desktops already run.
constexpr auto defaultEndpoint = "http://127.0.0.1:11434/v1";
constexpr auto defaultModelName = "llama3.2";
constexpr auto monitorInterval = 5s;
constexpr auto defaultProbeTimeout = 5s;
constexpr auto defaultResponseTimeout = 300s;

using Availability = SystemLanguageModel::Availability;
using Reason = Availability::Reason;

Availability unavailable(Reason reason, QString description = {})
{
    return Availability {reason, std::move(description)};
}

bool isHttpUrl(const QUrl &url)
{
    return url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    // A host name other than "localhost" is never resolved: a name could point anywhere.
    return address.setAddress(host) && address.isLoopback();
}

// "localhost" is sent as 127.0.0.1 so that no name lookup can take a request elsewhere.
QUrl loopbackUrl(const QUrl &endpoint, const QString &path)
{
    QUrl url = endpoint;
    if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        url.setHost(QStringLiteral("127.0.0.1"));
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + path);
    return url;
}

// What can be said without asking the server at all.
std::optional<Availability> staticAvailability(const QUrl &endpoint, bool enabled)
{
    if (!enabled)
        return unavailable(Reason::appleIntelligenceNotEnabled);
    if (!isHttpUrl(endpoint))
        return unavailable(Reason::other, QStringLiteral("TAVI_MODEL_URL is not an http URL"));
    if (!isLoopbackHost(endpoint.host()))
        return unavailable(Reason::deviceNotEligible);
    return std::nullopt;
}

QString seconds(std::chrono::milliseconds duration)
{
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration);
    if (whole.count() >= 1 && whole == duration)
        return QString::number(whole.count())
            + (whole.count() == 1 ? QStringLiteral(" second") : QStringLiteral(" seconds"));
    return QString::number(duration.count()) + QStringLiteral(" ms");
}

// Aborts a reply after a fixed total time. QNetworkRequest's transfer time-out only
// counts silence, and a server can keep a connection alive without ever answering.
class Deadline
{
public:
    Deadline(QNetworkReply *reply, std::chrono::milliseconds limit)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, reply, [this, reply] {
            m_expired = true;
            reply->abort();
        });
        m_timer.start(limit);
    }
    bool expired() const { return m_expired; }

private:
    QTimer m_timer;
    bool m_expired = false;
};

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, ReplyDeleter>;

QNetworkRequest jsonRequest(const QUrl &url, std::chrono::milliseconds timeout)
{
    QNetworkRequest request(url);
    // A loopback server must not be able to send the request on to another host.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(timeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

int statusOf(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool modelListed(const QByteArray &body, const QString &model, bool *readable)
{
    *readable = false;
    std::optional<JsonRead::Document> document;
    try {
        document.emplace(body);
    } catch (const JsonReadError &) {
        return false;
    }
    simdjson::dom::array data;
    if (document->root()["data"].get(data))
        return false;
    *readable = true;
    const QByteArray wanted = model.toUtf8();
    // Ollama lists "name:latest" for a model pulled as plain "name".
    const QByteArray wantedLatest = wanted + ":latest";
    for (simdjson::dom::element entry : data) {
        std::string_view id;
        if (entry["id"].get(id))
            continue;
        const QByteArrayView idView(id.data(), static_cast<qsizetype>(id.size()));
        if (idView == wanted || idView == wantedLatest)
            return true;
    }
    return false;
}

// The server's own words about an error: OpenAI-style {"error":{"message":...}},
// Ollama-style {"error":"..."}, else the body itself when it is short text.
QString serverMessage(const QByteArray &body)
{
    try {
        const JsonRead::Document document(body);
        const simdjson::dom::element root = document.root();
        std::string_view text;
        if (!root["error"]["message"].get(text) || !root["error"].get(text)
            || !root["message"].get(text) || !root["detail"].get(text))
            return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    } catch (const JsonReadError &) { }
    QString text = QString::fromUtf8(body).trimmed();
    constexpr qsizetype limit = 300;
    if (text.size() > limit)
        text = text.left(limit) + QChar(0x2026);
    return text;
}

QString networkFailure(QNetworkReply *reply)
{
    if (reply->error() == QNetworkReply::ConnectionRefusedError)
        return QStringLiteral("no model server is running at ") + reply->url().authority();
    return reply->errorString();
}

} // namespace

class ProbeNotifier : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void finished();
};

struct SystemLanguageModel::Private
{
    QUrl endpoint;
    QString modelName;
    bool enabled = true;
    std::chrono::milliseconds probeTimeout = defaultProbeTimeout;
    std::chrono::milliseconds responseTimeout = defaultResponseTimeout;

    Availability current = unavailable(Reason::other, QStringLiteral("checking the model server"));
    // Bumped by configure(): a probe that started before it answers for the old endpoint.
    quint64 generation = 0;
    bool probing = false;
    // Kept rather than discarded: when the process ends with a probe in flight, the
    // network manager deletes the reply without finishing it, and the probe's frame
    // must stay reachable from here instead of becoming a leak.
    std::optional<QCoro::Task<>> probeTask;
    QPointer<QNetworkReply> probeReply;
    bool shuttingDown = false;
    ProbeNotifier notifier;
    QTimer monitor;
};

SystemLanguageModel::SystemLanguageModel(QObject *parent)
    : QObject(parent)
    , d(new Private)
{
    const QString url = qEnvironmentVariable("TAVI_MODEL_URL");
    const QString model = qEnvironmentVariable("TAVI_MODEL");
    const bool off = model.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0;
    bool ok = false;
    const qint64 timeoutSeconds = qEnvironmentVariableIntValue("TAVI_MODEL_TIMEOUT", &ok);
    if (ok && timeoutSeconds > 0)
        d->responseTimeout = std::chrono::seconds(timeoutSeconds);

    d->monitor.setInterval(monitorInterval);
    connect(&d->monitor, &QTimer::timeout, this, [this] {
        if (!d->probing)
            startProbe();
    });
    configure(url.isEmpty() ? QUrl(QString::fromLatin1(defaultEndpoint)) : QUrl(url),
        model.isEmpty() || off ? QString::fromLatin1(defaultModelName) : model, !off);
    d->monitor.start();
    // Qt's HTTP thread tears a request down asynchronously, so one still open when
    // the application goes leaves its connection objects behind. The probe is ours:
    // end it, and give the teardown a moment while the event loop still runs.
    qAddPostRoutine([] {
        auto &self = defaultModel();
        self.d->shuttingDown = true;
        self.d->monitor.stop();
        if (!self.d->probeReply)
            return;
        self.d->probeReply->abort();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 50) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    });
}

SystemLanguageModel &SystemLanguageModel::defaultModel()
{
    // Lives until the process ends; probes in flight may still refer to it at exit.
    static SystemLanguageModel *model = new SystemLanguageModel;
    return *model;
}

SystemLanguageModel::Availability SystemLanguageModel::availability() const
{
    return d->current;
}

bool SystemLanguageModel::isAvailable() const
{
    return d->current.isAvailable();
}

QUrl SystemLanguageModel::endpoint() const
{
    return d->endpoint;
}

QString SystemLanguageModel::modelName() const
{
    return d->modelName;
}

void SystemLanguageModel::setTimeouts(
    std::chrono::milliseconds probeTimeout, std::chrono::milliseconds responseTimeout)
{
    d->probeTimeout = probeTimeout;
    d->responseTimeout = responseTimeout;
}

std::chrono::milliseconds SystemLanguageModel::responseTimeout() const
{
    return d->responseTimeout;
}

void SystemLanguageModel::configure(const QUrl &endpoint, const QString &modelName, bool enabled)
{
    d->endpoint = endpoint;
    d->modelName = modelName;
    d->enabled = enabled;
    ++d->generation;
    const auto known = staticAvailability(endpoint, enabled);
    setAvailability(
        known ? *known : unavailable(Reason::other, QStringLiteral("checking the model server")));
    if (d->probing) {
        // Its answer would be for the old endpoint; the probe loop asks again.
        if (d->probeReply)
            d->probeReply->abort();
    } else if (!known) {
        startProbe();
    }
}

void SystemLanguageModel::setAvailability(const Availability &availability)
{
    if (d->current == availability)
        return;
    d->current = availability;
    Q_EMIT availabilityChanged();
}

void SystemLanguageModel::startProbe()
{
    d->probing = true;
    // probe() catches everything itself; nobody awaits the task.
    d->probeTask = probe();
}

QCoro::Task<> SystemLanguageModel::probe()
{
    Availability answer;
    try {
        co_await StartupGate::released();
        for (;;) {
            const quint64 generation = d->generation;
            answer = co_await probeOnce(d->endpoint, d->modelName, d->enabled, d->probeTimeout);
            if (generation == d->generation)
                break;
        }
    } catch (...) {
        answer = unavailable(Reason::other, QStringLiteral("the model server could not be asked"));
    }
    d->probing = false;
    if (d->shuttingDown)
        co_return;
    setAvailability(answer);
    Q_EMIT d->notifier.finished();
}

QCoro::Task<SystemLanguageModel::Availability> SystemLanguageModel::probeOnce(
    QUrl endpoint, QString modelName, bool enabled, std::chrono::milliseconds timeout)
{
    if (const auto known = staticAvailability(endpoint, enabled))
        co_return *known;

    QNetworkRequest request
        = jsonRequest(loopbackUrl(endpoint, QStringLiteral("/models")), timeout);
    ReplyPtr reply(sharedNetworkAccessManager().get(request));
    d->probeReply = reply.get();
    Deadline deadline(reply.get(), timeout);
    co_await reply.get();

    if (deadline.expired() || reply->error() == QNetworkReply::OperationCanceledError
        || reply->error() == QNetworkReply::TimeoutError)
        co_return unavailable(Reason::other,
            QStringLiteral("the model server did not answer within ") + seconds(timeout));
    if (reply->error() == QNetworkReply::ConnectionRefusedError)
        co_return unavailable(Reason::appleIntelligenceNotEnabled);
    const int status = statusOf(reply.get());
    if (status == 0)
        co_return unavailable(Reason::other, networkFailure(reply.get()));
    // llama.cpp answers 503 {"error":{"message":"Loading model"}} until the weights are in.
    if (status == 503)
        co_return unavailable(Reason::modelNotReady);
    if (status != 200)
        co_return unavailable(
            Reason::other, QStringLiteral("the model server answered ") + QString::number(status));
    bool readable = false;
    if (modelListed(reply->readAll(), modelName, &readable))
        co_return Availability {Reason::none, {}};
    if (!readable)
        co_return unavailable(Reason::other, QStringLiteral("the model list is not readable"));
    // Ollama lists only pulled models: a missing one still has to be pulled.
    co_return unavailable(Reason::modelNotReady);
}

QCoro::Task<SystemLanguageModel::Availability> SystemLanguageModel::refreshAvailability()
{
    if (!d->probing)
        startProbe();
    // The probe may already have finished when the answer was known without asking.
    if (d->probing)
        co_await qCoro(&d->notifier, &ProbeNotifier::finished);
    // A copy made here on purpose: QCoro 0.8 moves from a co_returned non-const lvalue,
    // which would empty the stored answer for every later reader.
    co_return Availability(d->current);
}

LanguageModelSession::LanguageModelSession(SystemLanguageModel &model, QString instructions)
    : m_model(&model)
    , m_instructions(std::move(instructions))
{ }

QJsonObject chatCompletionBody(const QString &model, const QString &system, const QString &user)
{
    return QJsonObject {
        {QStringLiteral("model"), model},
        {QStringLiteral("messages"),
            QJsonArray {QJsonObject {{QStringLiteral("role"), QStringLiteral("system")},
                            {QStringLiteral("content"), system}},
                QJsonObject {{QStringLiteral("role"), QStringLiteral("user")},
                    {QStringLiteral("content"), user}}}},
        {QStringLiteral("stream"), false},
    };
}

namespace {

QJsonObject chatBody(const QString &model, const QString &instructions, const QString &prompt,
    const GenerationOptions &options, const std::optional<QJsonObject> &responseSchema)
{
    QJsonObject body = chatCompletionBody(model, instructions, prompt);
    if (options.temperature)
        body.insert(QStringLiteral("temperature"), *options.temperature);
    else if (options.sampling == QLatin1String("greedy"))
        body.insert(QStringLiteral("temperature"), 0);
    if (options.maximumResponseTokens)
        body.insert(QStringLiteral("max_tokens"), *options.maximumResponseTokens);
    if (responseSchema) {
        // The nested form: one common server ignores a schema given flat.
        body.insert(QStringLiteral("response_format"),
            QJsonObject {{QStringLiteral("type"), QStringLiteral("json_schema")},
                {QStringLiteral("json_schema"),
                    QJsonObject {{QStringLiteral("name"), QStringLiteral("tavi_coach")},
                        {QStringLiteral("schema"), *responseSchema}}}});
    }
    return body;
}

struct ChatReply
{
    int status = 0;
    QByteArray body;
};

QCoro::Task<ChatReply> postChat(
    QUrl url, QByteArray body, std::chrono::milliseconds timeout, CancellationHandle cancellation)
{
    if (cancellation && cancellation->isCancelled())
        throw LanguageModelError(QStringLiteral("The local model run was cancelled."));
    ReplyPtr reply(sharedNetworkAccessManager().post(jsonRequest(url, timeout), body));
    Deadline deadline(reply.get(), timeout);
    bool cancelled = false;
    QMetaObject::Connection cancelConnection;
    if (cancellation)
        cancelConnection = QObject::connect(cancellation.get(), &Cancellation::cancelled,
            reply.get(), [&cancelled, raw = reply.get()] {
                cancelled = true;
                // From the event loop, not inside whoever cancels.
                QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
            });
    co_await reply.get();
    QObject::disconnect(cancelConnection);

    if (cancelled)
        throw LanguageModelError(QStringLiteral("The local model run was cancelled."));
    if (deadline.expired() || reply->error() == QNetworkReply::OperationCanceledError
        || reply->error() == QNetworkReply::TimeoutError)
        throw LanguageModelError(QStringLiteral("The local model did not answer within ")
            + seconds(timeout) + QLatin1Char('.'));
    const int status = statusOf(reply.get());
    if (status == 0)
        throw LanguageModelError(QStringLiteral("The local model server could not be reached: ")
            + networkFailure(reply.get()) + QLatin1Char('.'));
    co_return ChatReply {status, reply->readAll()};
}

QString answerContent(const QByteArray &body)
{
    const auto unreadable = [] {
        return LanguageModelError(
            QStringLiteral("The local model's answer could not be read: it has no text at "
                           "choices[0].message.content."));
    };
    std::optional<JsonRead::Document> document;
    try {
        document.emplace(body);
    } catch (const JsonReadError &) {
        throw unreadable();
    }
    simdjson::dom::element content;
    if (document->root()["choices"].at(0)["message"]["content"].get(content))
        throw unreadable();
    // Some servers send null for an empty completion; an empty answer is an answer.
    if (content.is_null())
        return QStringLiteral("");
    std::string_view text;
    if (content.get_string().get(text))
        throw unreadable();
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QCoro::Task<QString> LanguageModelSession::respond(
    QString prompt, GenerationOptions options, std::optional<QJsonObject> responseSchema)
{
    // Copied before the first suspension: the session may be gone when the answer comes.
    SystemLanguageModel *model = m_model;
    const QString instructions = m_instructions;
    const QUrl endpoint = model->endpoint();
    const QString modelName = model->modelName();
    const auto timeout = model->responseTimeout();
    const CancellationHandle cancellation = m_cancellation;

    if (const auto known = staticAvailability(endpoint, true)) {
        throw LanguageModelError(known->reason == Reason::deviceNotEligible
                ? QStringLiteral("The model server is not on this machine.")
                : QStringLiteral("TAVI_MODEL_URL is not an http URL."));
    }
    const QUrl url = loopbackUrl(endpoint, QStringLiteral("/chat/completions"));
    auto send = [&](const std::optional<QJsonObject> &schema) {
        return postChat(url,
            QJsonDocument(chatBody(modelName, instructions, prompt, options, schema))
                .toJson(QJsonDocument::Compact),
            timeout, cancellation);
    };

    ChatReply reply = co_await send(responseSchema);
    // A server without constrained output refuses the schema outright. Asking once more
    // without it is a different request, not a retry: a run that fails is never repeated.
    if (responseSchema && (reply.status == 400 || reply.status == 422))
        reply = co_await send(std::nullopt);

    if (reply.status < 200 || reply.status > 299) {
        const QString message = serverMessage(reply.body);
        throw LanguageModelError(QStringLiteral("The local model server answered ")
            + QString::number(reply.status)
            + (message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    }
    co_return answerContent(reply.body);
}

#include "LanguageModel.moc"
