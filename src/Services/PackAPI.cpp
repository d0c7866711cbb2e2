#include "PackAPI.h"

#include "Envelopes.h"
#include "JsonRead.h"
#include "Network.h"
#include "PackAPIError.h"
#include "ServiceExchange.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <simdjson.h>

#include <atomic>
#include <exception>
#include <memory>
#include <optional>

namespace {

constexpr std::chrono::milliseconds defaultTimeout {60000};
std::atomic<std::chrono::milliseconds::rep> timeoutMs {defaultTimeout.count()};

// The same number of hops a browser allows before giving up on a loop.
constexpr int maxRedirects = 10;

// Answers up to this size are decoded where they arrive: below it a decode takes
// well under a millisecond, less than handing the work to a pool thread and back.
// Above it the decode moves off the calling thread so that a user interface on it
// keeps drawing while a multi-megabyte pack is read.
constexpr qsizetype inlineDecodeLimit = 64 * 1024;

// What an answer's announced length may set aside before any of it arrives.
constexpr qint64 reserveLimit = 64 * 1024 * 1024;

const QByteArray tokenHeader = QByteArrayLiteral("X-Tavi-Operator-Token");

struct Origin
{
    QString scheme;
    QString host;
    int port = -1;
    bool operator==(const Origin &) const = default;
};

Origin originOf(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    const int defaultPort = scheme == QLatin1String("https") ? 443
        : scheme == QLatin1String("http")                    ? 80
                                                             : -1;
    return {scheme, url.host().toLower(), url.port(defaultPort)};
}

QString originText(const QUrl &url)
{
    return url.toString(
        QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

bool isHttpScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString durationText(std::chrono::milliseconds duration)
{
    const auto ms = duration.count();
    if (ms % 1000 == 0)
        return QString::number(ms / 1000)
            + (ms == 1000 ? QStringLiteral(" second") : QStringLiteral(" seconds"));
    return QString::number(ms) + QStringLiteral(" milliseconds");
}

// Qt reports an HTTP status outside 2xx as an error of its own; those are answers
// and go through the status check. Everything below 200, and the two protocol
// failures, mean no complete answer arrived, except a 407: Qt files it with the
// proxy failures, but it is a status and a body like any other.
bool isTransportFailure(QNetworkReply::NetworkError error)
{
    if (error == QNetworkReply::ProxyAuthenticationRequiredError)
        return false;
    return (error != QNetworkReply::NoError && error < 200)
        || error == QNetworkReply::ProtocolUnknownError || error == QNetworkReply::ProtocolFailure;
}

TransportError transportError(const QNetworkReply &reply, const QUrl &url)
{
    const QString where = originText(url);
    const QString detail = reply.errorString();
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
        return TransportError(QStringLiteral("Could not connect to the pack service at %1: the "
                                             "connection was refused.")
                                  .arg(where));
    case QNetworkReply::HostNotFoundError:
        return TransportError(
            QStringLiteral("Could not find the pack service's host %1.").arg(url.host()));
    case QNetworkReply::TimeoutError:
        return TransportError(
            QStringLiteral("The connection to the pack service at %1 timed out.").arg(where));
    case QNetworkReply::RemoteHostClosedError:
        return TransportError(QStringLiteral("The pack service at %1 closed the connection "
                                             "before its answer was complete.")
                                  .arg(where));
    case QNetworkReply::SslHandshakeFailedError:
        return TransportError(QStringLiteral("Could not make a secure (TLS) connection to the "
                                             "pack service at %1: %2")
                                  .arg(where, detail));
    case QNetworkReply::OperationCanceledError:
        return TransportError(QStringLiteral("The request to the pack service was cancelled."));
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return TransportError(QStringLiteral("The network is not available: %1").arg(detail));
    case QNetworkReply::ProtocolUnknownError:
        return TransportError(
            QStringLiteral("The pack service address %1 is not an http or https address.")
                .arg(url.toString(QUrl::RemoveUserInfo)));
    default:
        break;
    }
    if (reply.error() >= QNetworkReply::ProxyConnectionRefusedError
        && reply.error() <= QNetworkReply::UnknownProxyError)
        return TransportError(
            QStringLiteral("The proxy failed the request to the pack service: %1").arg(detail));
    return TransportError(
        QStringLiteral("The request to the pack service at %1 failed: %2").arg(where, detail));
}

// A body that is not valid UTF-8 is shown as nothing rather than as replacement
// characters: the operator learns the status, not garbage.
QString utf8OrEmpty(const QByteArray &bytes)
{
    if (!simdjson::validate_utf8(bytes.constData(), static_cast<size_t>(bytes.size())))
        return QString();
    return QString::fromUtf8(bytes);
}

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const
    {
        // Whoever still waits on the reply is going away with it: aborting must
        // not resume anything.
        QObject::disconnect(reply, nullptr, nullptr, nullptr);
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
    }
};

// Runs `work` on a pool thread and resumes on the calling thread with its result.
// The exception travels by hand: QtConcurrent only carries QException types.
template<typename T, typename Work> QCoro::Task<T> offThread(Work work)
{
    struct Outcome
    {
        std::optional<T> value;
        std::exception_ptr error;
    };
    QFuture<Outcome> future = QtConcurrent::run([work = std::move(work)]() mutable {
        Outcome outcome;
        try {
            outcome.value.emplace(work());
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    });
    Outcome outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.value);
}

template<typename T, typename Decode> QCoro::Task<T> decodeAnswer(QByteArray body, Decode decode)
{
    if (body.size() <= inlineDecodeLimit)
        co_return decode(body);
    auto work = [body, decode] { return decode(body); };
    QCoro::Task<T> decoding = offThread<T>(std::move(work));
    co_return co_await std::move(decoding);
}

// One exchange with the service: the request, any redirects, the status check.
// Returns the body of a 2xx answer.
QCoro::Task<QByteArray> exchange(PackAPI api, QByteArray method, QString path,
    std::optional<QByteArray> body, CancellationHandle cancellation)
{
    QUrl url = api.apiURL(path);
    if (!url.isValid() || url.isRelative() || !isHttpScheme(url) || url.host().isEmpty())
        throw TransportError(
            QStringLiteral("The pack service address %1 is not an absolute http or https address.")
                .arg(url.isValid() ? url.toString(QUrl::RemoveUserInfo)
                                   : QStringLiteral("\"")
                            + api.baseURL.toString(QUrl::RemoveUserInfo) + QStringLiteral("\"")));
    // A line break in a header value would let the token start a header of its own.
    if (api.operatorToken.contains(QLatin1Char('\r'))
        || api.operatorToken.contains(QLatin1Char('\n')) || api.operatorToken.contains(QChar(0)))
        throw TransportError(QStringLiteral(
            "The operator token contains a line break or a null character and cannot be sent."));

    const Origin tokenOrigin = originOf(api.baseURL);
    const QByteArray token = api.operatorToken.toUtf8();
    const auto timeout = PackAPI::requestTimeout();
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(timeout);

    for (int hop = 0;; ++hop) {
        QNetworkRequest request(url);
        // Redirects are followed here, not by Qt: its policies pass every header,
        // the token included, on to whatever origin the service names.
        request.setAttribute(
            QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        if (body)
            request.setRawHeader(
                QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/json"));
        if (!token.isEmpty() && originOf(url) == tokenOrigin)
            request.setRawHeader(tokenHeader, token);

        QNetworkAccessManager &manager = sharedNetworkAccessManager();
        std::unique_ptr<QNetworkReply, ReplyDeleter> reply(method == "GET" ? manager.get(request)
                : method == "POST" && body ? manager.post(request, *body)
                                           : manager.sendCustomRequest(request, method));

        // One deadline for the whole exchange, redirects included: Qt's own
        // transfer time-out restarts with every byte, so a service that trickles
        // its answer would never time out.
        bool timedOut = false;
        const auto connection = QObject::connect(
            &deadline, &QTimer::timeout, reply.get(), [&timedOut, raw = reply.get()] {
                timedOut = true;
                // Queued, so that the request finishes from the event loop and
                // not inside the timer's own signal: the coroutine that resumes
                // then unwinds and destroys the timer.
                QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
            });
        if (!deadline.isActive()) {
            timedOut = true;
            reply->abort();
        }
        // A cancel aborts the request the same way, from the event loop.
        bool cancelled = false;
        QMetaObject::Connection cancelConnection;
        if (cancellation) {
            cancelConnection = QObject::connect(cancellation.get(), &Cancellation::cancelled,
                reply.get(), [&cancelled, raw = reply.get()] {
                    cancelled = true;
                    QMetaObject::invokeMethod(raw, &QNetworkReply::abort, Qt::QueuedConnection);
                });
            if (cancellation->isCancelled()) {
                cancelled = true;
                reply->abort();
            }
        }
        // The body is taken as it arrives, not all at the end: the copy overlaps
        // the transfer, and each piece Qt hands over is freed at once, so the next
        // reuses its memory. A multi-megabyte answer then touches little fresh
        // memory beside the body itself, in a fresh process the larger cost.
        QByteArray received;
        const auto receiving = QObject::connect(
            reply.get(), &QIODevice::readyRead, reply.get(), [&received, raw = reply.get()] {
                if (received.isEmpty()) {
                    const qint64 length
                        = raw->header(QNetworkRequest::ContentLengthHeader).toLongLong();
                    if (length > 0)
                        received.reserve(std::min(length, reserveLimit)
                            + JsonRead::roomPastText); // read in place, not copied
                }
                const qsizetype at = received.size();
                const qint64 available = raw->bytesAvailable();
                received.resize(at + available);
                const qint64 read = raw->read(received.data() + at, available);
                received.resize(at + std::max<qint64>(read, 0));
            });
        auto replyAwaitable = qCoro(reply.get());
        QCoro::Task<bool> finished = replyAwaitable.waitForFinished();
        co_await std::move(finished);
        QObject::disconnect(receiving);
        QObject::disconnect(connection);
        QObject::disconnect(cancelConnection);
        if (cancelled)
            throw TransportError(QStringLiteral("The request to the pack service was cancelled."));
        if (timedOut)
            throw TransportError(QStringLiteral("The pack service at %1 did not answer within %2.")
                                     .arg(originText(url), durationText(timeout)));

        const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (isTransportFailure(reply->error()) || !statusAttribute.isValid())
            throw transportError(*reply, url);
        const int status = statusAttribute.toInt();
        received.append(reply->readAll());
        const QByteArray answer = std::move(received);

        const bool redirect
            = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        const QByteArray location = reply->rawHeader(QByteArrayLiteral("Location"));
        if (redirect && !location.isEmpty()) {
            const QUrl target = url.resolved(QUrl::fromEncoded(location));
            if (target.isValid()) {
                if (hop >= maxRedirects)
                    throw TransportError(
                        QStringLiteral("The pack service redirected the request more than %1 "
                                       "times.")
                            .arg(maxRedirects));
                if (!isHttpScheme(target))
                    throw TransportError(QStringLiteral("The pack service redirected the request "
                                                        "to %1, which is not an http or https "
                                                        "address.")
                                             .arg(target.toString(QUrl::RemoveUserInfo)));
                // 307 and 308 repeat the request as it was; the others turn a
                // POST into a GET without a body, as browsers and the usual HTTP
                // clients do.
                if (status != 307 && status != 308 && method != "GET" && method != "HEAD") {
                    method = "GET";
                    body.reset();
                }
                url = target;
                continue;
            }
        }

        if (status < 200 || status > 299)
            throw PackAPIError::http(status, utf8OrEmpty(answer));
        co_return answer;
    }
}

// The pack as the body's "pack" member beside `members`, written on a pool
// thread: a large pack takes tens of milliseconds to serialise, too long for a
// user-interface thread.
QCoro::Task<QByteArray> packBody(CapabilityPack pack, QJsonObject members)
{
    auto work = [pack = std::move(pack), members = std::move(members)]() mutable {
        members.insert(QStringLiteral("pack"), pack.toJsonObject());
        QByteArray body = QJsonDocument(members).toJson(QJsonDocument::Compact);
        // A lone surrogate (what a broken paste can leave in a QString) has no
        // UTF-8 form; Qt writes it as an escape that no strict reader accepts, the
        // service included. Read the body back as the service will and refuse to
        // send what would not read.
        simdjson::dom::parser parser;
        const auto error = parser.parse(body.constData(), static_cast<size_t>(body.size())).error();
        if (error == simdjson::STRING_ERROR || error == simdjson::UTF8_ERROR)
            throw JsonReadError(QStringLiteral(
                "The draft cannot be sent: one of its texts holds a broken character (a lone "
                "surrogate) that JSON cannot carry."));
        if (error != simdjson::SUCCESS)
            throw JsonReadError(QStringLiteral("The draft cannot be sent: its JSON form does not "
                                               "read back (%1).")
                                    .arg(QLatin1String(simdjson::error_message(error))));
        return body;
    };
    QCoro::Task<QByteArray> writing = offThread<QByteArray>(std::move(work));
    co_return co_await std::move(writing);
}

// The compact JSON of one text, as QJsonDocument writes it inside an object.
QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// The body of a preview around a prepared pack: the members in the order that
// QJsonObject keeps them (by name), so the bytes equal those of packBody.
QByteArray previewBody(const QString &message, const QByteArray &packJson)
{
    const QByteArray text = jsonString(message);
    // A broken character in the message: refused as packBody refuses it.
    simdjson::dom::parser parser;
    if (parser.parse(text.constData(), static_cast<size_t>(text.size())).error()
        != simdjson::SUCCESS)
        throw JsonReadError(QStringLiteral(
            "The message cannot be sent: it holds a broken character (a lone surrogate) that "
            "JSON cannot carry."));
    QByteArray body;
    body.reserve(packJson.size() + text.size() + 64);
    body += "{\"message\":";
    body += text;
    body += ",\"pack\":";
    body += packJson;
    body += ",\"sessionId\":\"preview-apple\"}";
    return body;
}

// GCC 12 destroys the temporaries of a full-expression that holds a co_await
// twice. So no co_await here has a temporary in its statement: every task is
// formed in a statement of its own from named values, then awaited.

CapabilityPack readCurrent(const QByteArray &bytes)
{
    return Envelopes::readCurrentPackResponse(bytes).pack;
}

CapabilityPack readCoach(const QByteArray &bytes)
{
    return Envelopes::readCoachResponse(bytes).pack;
}

QString readPreview(const QByteArray &bytes)
{
    const auto response = Envelopes::readPreviewResponse(bytes);
    // An absent reply or text reads as the empty text, not as a null QString.
    return response.reply && response.reply->text ? *response.reply->text : QStringLiteral("");
}

CapabilityPack readPublish(const QByteArray &bytes)
{
    return Envelopes::readPublishResponse(bytes).pack;
}

template<typename T>
QCoro::Task<T> operation(PackAPI api, QByteArray method, QString path,
    std::optional<QByteArray> body, T (*read)(const QByteArray &),
    CancellationHandle cancellation = {})
{
    QCoro::Task<QByteArray> sending = exchange(std::move(api), std::move(method), std::move(path),
        std::move(body), std::move(cancellation));
    const QByteArray answer = co_await std::move(sending);
    QCoro::Task<T> decoding = decodeAnswer<T>(answer, read);
    co_return co_await std::move(decoding);
}

template<typename T>
QCoro::Task<T> operationWithPack(PackAPI api, QString path, CapabilityPack pack,
    QJsonObject members, T (*read)(const QByteArray &), CancellationHandle cancellation = {})
{
    QCoro::Task<QByteArray> writing = packBody(std::move(pack), std::move(members));
    std::optional<QByteArray> body = co_await std::move(writing);
    QByteArray method = QByteArrayLiteral("POST");
    QCoro::Task<T> sending = operation<T>(std::move(api), std::move(method), std::move(path),
        std::move(body), read, std::move(cancellation));
    co_return co_await std::move(sending);
}

const QString currentPath = QStringLiteral("/api/capability-packs/current");
const QString coachPath = QStringLiteral("/api/capability-packs/coach");
const QString previewPath = QStringLiteral("/api/capability-packs/preview");
const QString publishPath = QStringLiteral("/api/capability-packs/publish");
const QString rollbackPath = QStringLiteral("/api/capability-packs/rollback");

} // namespace

QCoro::Task<QByteArray> serviceExchange(
    PackAPI api, QByteArray method, QString path, std::optional<QByteArray> body)
{
    return exchange(std::move(api), std::move(method), std::move(path), std::move(body), {});
}

std::optional<QUrl> PackAPI::parseBaseURL(const QString &text)
{
    // Strict parsing: a value with spaces or broken percent escapes is a typo, and
    // the operator is better served by the default than by a request to nowhere.
    if (text.isEmpty())
        return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty())
        return std::nullopt;
    return url;
}

QUrl PackAPI::defaultBase()
{
    if (auto url = parseBaseURL(qEnvironmentVariable("TAVI_API_BASE")))
        return *url;
    return QUrl(QStringLiteral("https://packs.tavi.example"));
}

QUrl PackAPI::apiURL(const QString &path) const
{
    QString text = baseURL.toString(QUrl::FullyEncoded);
    qsizetype start = 0;
    while (start < text.size() && text[start] == QLatin1Char('/'))
        ++start;
    qsizetype end = text.size();
    while (end > start && text[end - 1] == QLatin1Char('/'))
        --end;
    return QUrl(text.mid(start, end - start) + path, QUrl::StrictMode);
}

// Each operation copies the value into its coroutine: a caller may let the
// PackAPI go before the answer arrives.
QCoro::Task<CapabilityPack> PackAPI::current() const
{
    return operation<CapabilityPack>(
        *this, QByteArrayLiteral("GET"), currentPath, std::nullopt, readCurrent);
}

QCoro::Task<QByteArray> PackAPI::currentAnswer() const
{
    return exchange(*this, QByteArrayLiteral("GET"), currentPath, std::nullopt, {});
}

QCoro::Task<CapabilityPack> PackAPI::coach(QString instruction, CapabilityPack pack) const
{
    QJsonObject members {{QStringLiteral("instruction"), instruction}};
    return operationWithPack<CapabilityPack>(
        *this, coachPath, std::move(pack), std::move(members), readCoach);
}

QCoro::Task<QString> PackAPI::preview(QString message, CapabilityPack pack) const
{
    QJsonObject members {{QStringLiteral("message"), message},
        {QStringLiteral("sessionId"), QStringLiteral("preview-apple")}};
    return operationWithPack<QString>(
        *this, previewPath, std::move(pack), std::move(members), readPreview);
}

QCoro::Task<QString> PackAPI::preview(
    QString message, CapabilityPack pack, CancellationHandle cancellation) const
{
    QJsonObject members {{QStringLiteral("message"), message},
        {QStringLiteral("sessionId"), QStringLiteral("preview-apple")}};
    return operationWithPack<QString>(*this, previewPath, std::move(pack), std::move(members),
        readPreview, std::move(cancellation));
}

QCoro::Task<PackAPI::PreparedPack> PackAPI::prepare(CapabilityPack pack)
{
    // packBody's checks, once, on the pack alone.
    QCoro::Task<QByteArray> writing = packBody(std::move(pack), QJsonObject {});
    const QByteArray wrapped = co_await std::move(writing);
    // {"pack":<pack>}
    const qsizetype prefix = qsizetype(sizeof("{\"pack\":") - 1);
    co_return PreparedPack {wrapped.mid(prefix, wrapped.size() - prefix - 1)};
}

QCoro::Task<QString> PackAPI::preview(
    QString message, PreparedPack pack, CancellationHandle cancellation) const
{
    std::optional<QByteArray> body = previewBody(message, pack.json);
    QByteArray method = QByteArrayLiteral("POST");
    QCoro::Task<QString> sending = operation<QString>(*this, std::move(method), previewPath,
        std::move(body), readPreview, std::move(cancellation));
    co_return co_await std::move(sending);
}

QCoro::Task<CapabilityPack> PackAPI::publish(CapabilityPack pack) const
{
    QJsonObject members {{QStringLiteral("coach_model"), QStringLiteral("apple-foundation")}};
    return operationWithPack<CapabilityPack>(
        *this, publishPath, std::move(pack), std::move(members), readPublish);
}

QCoro::Task<CapabilityPack> PackAPI::rollback() const
{
    return operation<CapabilityPack>(
        *this, QByteArrayLiteral("POST"), rollbackPath, QByteArrayLiteral("{}"), readPublish);
}

std::chrono::milliseconds PackAPI::requestTimeout()
{
    return std::chrono::milliseconds(timeoutMs.load());
}

void PackAPI::setRequestTimeoutForTesting(std::chrono::milliseconds timeout)
{
    timeoutMs.store(timeout.count());
}
