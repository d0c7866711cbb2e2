#include "PackServer.h"

#include "BoundedTcpServer.h"
#include "JsonRead.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTextStream>

#include <cstdio>

using Status = QHttpServerResponder::StatusCode;

namespace {

const QString currentPath = QStringLiteral("/api/capability-packs/current");
const QString historyPath = QStringLiteral("/api/capability-packs/history");
const QString coachPath = QStringLiteral("/api/capability-packs/coach");
const QString previewPath = QStringLiteral("/api/capability-packs/preview");
const QString publishPath = QStringLiteral("/api/capability-packs/publish");
const QString rollbackPath = QStringLiteral("/api/capability-packs/rollback");

const QByteArray tokenHeader = QByteArrayLiteral("x-tavi-operator-token");

// The same coaching brief the desktop tool gives its on-device model, so a draft
// reads alike whichever model wrote it.
const QString coachInstructions
    = QStringLiteral("You are Tavi's voice coach for Kelora operators (ZODE-016).\n"
                     "Return ONLY JSON with keys voice, cta, confirm_copy, preview_reply.\n"
                     "Never invent prices. Never suggest booking without confirmation.");

QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

QByteArray packEnvelope(const QByteArray &packJson, const QString &liveVersion)
{
    return QByteArrayLiteral("{\"pack\":") + packJson + QByteArrayLiteral(",\"live_version\":")
        + jsonString(liveVersion) + QByteArrayLiteral("}");
}

// Every byte of the configured token is looked at whatever arrives, so the time
// an answer takes does not tell how much of a guess was right.
bool sameToken(QByteArrayView given, QByteArrayView expected)
{
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(g ^ expected[i]);
    }
    return difference == 0U;
}

const char *methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    default:
        return "OTHER";
    }
}

// A request body read as a JSON object. The document owns the parsed tree the
// object points into.
struct JsonBody
{
    std::unique_ptr<JsonRead::Document> document;
    simdjson::dom::object root;
};

class BadRequest : public TaviError
{
public:
    using TaviError::TaviError;
};

JsonBody readBody(const QByteArray &body)
{
    JsonBody parsed;
    try {
        parsed.document = std::make_unique<JsonRead::Document>(body);
    } catch (const JsonReadError &error) {
        throw BadRequest(
            QStringLiteral("The request body is not JSON: %1").arg(error.description()));
    }
    if (parsed.document->root().get_object().get(parsed.root) != simdjson::SUCCESS)
        throw BadRequest(QStringLiteral("The request body is not a JSON object."));
    return parsed;
}

simdjson::dom::element requiredMember(const JsonBody &body, const char *key)
{
    const auto value = JsonRead::member(body.root, key);
    if (!value)
        throw BadRequest(
            QStringLiteral("The request body has no \"%1\" member.").arg(QLatin1String(key)));
    return *value;
}

QString requiredText(const JsonBody &body, const char *key)
{
    const simdjson::dom::element value = requiredMember(body, key);
    std::string_view text;
    if (value.get_string().get(text) != simdjson::SUCCESS)
        throw BadRequest(
            QStringLiteral("The \"%1\" member must be a JSON string.").arg(QLatin1String(key)));
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A pack that does not read is the sender's data being wrong, not the request:
// 422 with the reader's own account of where and what.
class UnreadablePack : public TaviError
{
public:
    using TaviError::TaviError;
};

CapabilityPack requiredPack(const JsonBody &body)
{
    const simdjson::dom::element value = requiredMember(body, "pack");
    try {
        return JsonRead::capabilityPack(*body.document, value, QStringLiteral("pack"));
    } catch (const JsonReadError &error) {
        throw UnreadablePack(error.description());
    }
}

// One key of a model answer that should be a JSON object: the whole answer
// first, then the text between its first "{" and last "}", for models that
// wrap the object in prose or a code fence.
std::optional<QString> answerMember(const QString &answer, const char *key)
{
    const auto fromText = [key](const QByteArray &text) -> std::optional<std::optional<QString>> {
        try {
            JsonRead::Document document(text);
            simdjson::dom::object object;
            if (document.root().get_object().get(object) != simdjson::SUCCESS)
                return std::nullopt;
            const auto value = JsonRead::member(object, key);
            std::string_view string;
            if (!value || value->get_string().get(string) != simdjson::SUCCESS)
                return std::optional<QString>();
            return std::optional<QString>(
                QString::fromUtf8(string.data(), static_cast<qsizetype>(string.size())));
        } catch (const JsonReadError &) {
            return std::nullopt;
        }
    };
    const QByteArray utf8 = answer.toUtf8();
    if (auto whole = fromText(utf8))
        return *whole;
    const qsizetype open = utf8.indexOf('{');
    const qsizetype close = utf8.lastIndexOf('}');
    if (open < 0 || close < 0 || open >= close)
        return std::nullopt;
    if (auto inner = fromText(utf8.mid(open, close - open + 1)))
        return *inner;
    return std::nullopt;
}

bool answerHasObject(const QString &answer)
{
    const QByteArray utf8 = answer.toUtf8();
    const auto isObject = [](const QByteArray &text) {
        try {
            JsonRead::Document document(text);
            return document.root().is_object();
        } catch (const JsonReadError &) {
            return false;
        }
    };
    if (isObject(utf8))
        return true;
    const qsizetype open = utf8.indexOf('{');
    const qsizetype close = utf8.lastIndexOf('}');
    return open >= 0 && open < close && isObject(utf8.mid(open, close - open + 1));
}

} // namespace

PackServer::PackServer(
    PackStore *store, QByteArray token, std::optional<ModelClient> model, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_store(store)
    , m_token(std::move(token))
    , m_model(std::move(model))
{ }

PackServer::~PackServer()
{
    *m_alive = false;
}

bool PackServer::authorized(const QHttpServerRequest &request) const
{
    if (m_token.isEmpty())
        return true;
    // Exactly one header with exactly the token: a second copy could be a proxy
    // adding its own, and which one wins would be an accident.
    int seen = 0;
    bool matches = false;
    const auto headers = request.headers();
    for (const auto &[name, value] : headers) {
        if (name.compare(tokenHeader, Qt::CaseInsensitive) == 0) {
            ++seen;
            matches = sameToken(value, m_token);
        }
    }
    return seen == 1 && matches;
}

bool PackServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    Reply reply;
    bool deferred = false;
    try {
        std::optional<Reply> routed = route(request, socket);
        if (routed)
            reply = std::move(*routed);
        else
            deferred = true;
    } catch (const BadRequest &e) {
        reply = error(Status::BadRequest, e.description());
    } catch (const UnreadablePack &e) {
        reply = error(Status::UnprocessableEntity, e.description());
    } catch (const TaviError &e) {
        reply = error(Status::InternalServerError, e.description());
    } catch (const std::exception &e) {
        reply = error(Status::InternalServerError, QString::fromUtf8(e.what()));
    }
    // Method, path and status only: headers carry the token and bodies carry packs.
    std::fprintf(stderr, "%s %s -> %s\n", methodName(request.method()),
        qPrintable(request.url().path()),
        deferred ? "(model)" : QByteArray::number(static_cast<int>(reply.status)).constData());
    if (!deferred) {
        QHttpServerResponder responder = makeResponder(request, socket);
        send(responder, reply, socket);
    }
    return true;
}

void PackServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    send(responder, error(Status::NotFound, QStringLiteral("No such endpoint.")), socket);
}

std::optional<PackServer::Reply> PackServer::route(
    const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (!authorized(request))
        return Reply {Status::Unauthorized, QByteArrayLiteral("unauthorized"),
            QByteArrayLiteral("text/plain; charset=utf-8")};

    const QString path = request.url().path();
    const bool isGet = path == currentPath || path == historyPath;
    const bool isPost
        = path == coachPath || path == previewPath || path == publishPath || path == rollbackPath;
    if (!isGet && !isPost)
        return error(Status::NotFound, QStringLiteral("No such endpoint: %1").arg(path));
    const auto wanted = isGet ? QHttpServerRequest::Method::Get : QHttpServerRequest::Method::Post;
    if (request.method() != wanted) {
        Reply reply = error(Status::MethodNotAllowed,
            QStringLiteral("%1 takes %2 only.").arg(path, QLatin1String(isGet ? "GET" : "POST")));
        reply.allow = isGet ? QByteArrayLiteral("GET") : QByteArrayLiteral("POST");
        return reply;
    }
    const QByteArray body = request.body();
    if (body.size() > maxBodyBytes)
        return error(Status::PayloadTooLarge,
            QStringLiteral("The request body is larger than %1 bytes.").arg(maxBodyBytes));

    if (path == currentPath)
        return current();
    if (path == historyPath)
        return history();
    if (path == publishPath)
        return publish(body);
    if (path == rollbackPath)
        return rollback(body);
    return startModelCall(path == coachPath, request, socket);
}

QByteArray PackServer::liveEnvelope()
{
    if (!m_liveEnvelope) {
        const std::optional<PackStore::Live> live = m_store->live();
        if (!live)
            return {};
        m_liveEnvelope = packEnvelope(live->packJson, live->version);
    }
    return *m_liveEnvelope;
}

PackServer::Reply PackServer::current()
{
    const QByteArray envelope = liveEnvelope();
    if (envelope.isEmpty())
        return error(Status::NotFound, QStringLiteral("No pack is live yet: publish one first."));
    return Reply {Status::Ok, envelope};
}

PackServer::Reply PackServer::history()
{
    QJsonArray versions;
    const auto entries = m_store->history();
    for (const PackStore::HistoryEntry &entry : entries) {
        QJsonObject row {{QStringLiteral("version"), entry.version},
            {QStringLiteral("coach_model"), entry.coachModel},
            {QStringLiteral("created_at"), entry.createdAt},
            {QStringLiteral("in_live_chain"), entry.inLiveChain}};
        if (entry.parentVersion)
            row.insert(QStringLiteral("parent_version"), *entry.parentVersion);
        if (entry.author)
            row.insert(QStringLiteral("author"), *entry.author);
        if (entry.coachInstruction)
            row.insert(QStringLiteral("coach_instruction"), *entry.coachInstruction);
        versions.append(row);
    }
    QJsonObject answer {{QStringLiteral("versions"), versions}};
    if (const auto live = m_store->live())
        answer.insert(QStringLiteral("live_version"), live->version);
    return Reply {Status::Ok, QJsonDocument(answer).toJson(QJsonDocument::Compact)};
}

PackServer::Reply PackServer::publish(const QByteArray &body)
{
    const JsonBody parsed = readBody(body);
    const QString coachModel = requiredText(parsed, "coach_model");
    const CapabilityPack pack = requiredPack(parsed);
    const PackStore::PublishOutcome outcome = m_store->publish(pack, coachModel);
    if (!outcome.stored) {
        const QJsonObject answer {
            {QStringLiteral("error"),
                QStringLiteral("stale draft: live version is %1").arg(outcome.liveVersion)},
            {QStringLiteral("live_version"), outcome.liveVersion}};
        return Reply {Status::Conflict, QJsonDocument(answer).toJson(QJsonDocument::Compact)};
    }
    m_liveEnvelope = packEnvelope(outcome.packJson, outcome.liveVersion);
    return Reply {Status::Ok, *m_liveEnvelope};
}

PackServer::Reply PackServer::rollback(const QByteArray &body)
{
    // An empty body is taken as {}: a bare `curl -X POST` should not need one.
    if (!body.trimmed().isEmpty())
        readBody(body);
    const std::optional<PackStore::Live> live = m_store->rollback();
    if (!live) {
        const QString current = m_store->live() ? m_store->live()->version : QString();
        return error(Status::Conflict,
            QStringLiteral("Nothing to roll back to: %1 is the oldest live version.").arg(current));
    }
    m_liveEnvelope = packEnvelope(live->packJson, live->version);
    return Reply {Status::Ok, *m_liveEnvelope};
}

std::optional<PackServer::Reply> PackServer::startModelCall(
    bool coach, const QHttpServerRequest &request, QTcpSocket *socket)
{
    const JsonBody parsed = readBody(request.body());
    const QString text = requiredText(parsed, coach ? "instruction" : "message");
    if (!coach)
        requiredText(parsed, "sessionId");
    CapabilityPack pack = requiredPack(parsed);
    if (!m_model)
        return error(Status::ServiceUnavailable,
            QStringLiteral("No model is configured for this pack service: start it "
                           "with --model-url and --model."));
    QHttpServerResponder responder = makeResponder(request, socket);
    if (coach)
        answerCoach(std::move(responder), socket, text, std::move(pack));
    else
        answerPreview(std::move(responder), socket, text, std::move(pack));
    return std::nullopt;
}

QCoro::Task<> PackServer::answerCoach(QHttpServerResponder responder, QPointer<QTcpSocket> socket,
    QString instruction, CapabilityPack pack)
{
    const std::shared_ptr<bool> alive = m_alive;
    // The frame keeps its own client: the server may go away while the model thinks.
    const ModelClient model = *m_model;
    Reply reply;
    try {
        const QString prompt = QStringLiteral("Operator instruction: ") + instruction
            + QStringLiteral("\n\nCurrent Tavi voice: ") + pack.modules.persona.voice
            + QStringLiteral("\nCurrent CTA: ") + pack.modules.replyRules.cta
            + QStringLiteral("\nCurrent confirm copy: ")
            + pack.modules.guardrails.confirmCopy.value_or(QString());
        const QString answer = co_await model.complete(coachInstructions, prompt);
        if (!answerHasObject(answer))
            throw ModelError(QStringLiteral("The model's answer holds no JSON object with voice, "
                                            "cta and confirm_copy; the draft is unchanged."));
        if (auto voice = answerMember(answer, "voice"); voice && !voice->isEmpty())
            pack.modules.persona.voice = *voice;
        if (auto cta = answerMember(answer, "cta"); cta && !cta->isEmpty())
            pack.modules.replyRules.cta = *cta;
        if (auto confirm = answerMember(answer, "confirm_copy"); confirm && !confirm->isEmpty())
            pack.modules.guardrails.confirmCopy = *confirm;
        pack.provenance = CapabilityPack::Provenance {QStringLiteral("operator"), model.model(),
            instruction, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)};
        const QByteArray body = QByteArrayLiteral("{\"pack\":") + pack.toJson()
            + QByteArrayLiteral(",\"coach_model\":") + jsonString(model.model())
            + QByteArrayLiteral("}");
        reply = Reply {Status::Ok, body};
    } catch (...) {
        reply = modelFailure(std::current_exception());
    }
    // The operator may have given up and closed the connection meanwhile.
    if (*alive && socket)
        send(responder, reply, socket);
}

QCoro::Task<> PackServer::answerPreview(QHttpServerResponder responder, QPointer<QTcpSocket> socket,
    QString message, CapabilityPack pack)
{
    const std::shared_ptr<bool> alive = m_alive;
    const ModelClient model = *m_model;
    Reply reply;
    try {
        const QString text
            = co_await model.complete(pack.taviInstructions(QStringLiteral("{}")), message);
        const QJsonObject answer {
            {QStringLiteral("reply"), QJsonObject {{QStringLiteral("text"), text}}},
            {QStringLiteral("pack_version"), pack.version}};
        reply = Reply {Status::Ok, QJsonDocument(answer).toJson(QJsonDocument::Compact)};
    } catch (...) {
        reply = modelFailure(std::current_exception());
    }
    if (*alive && socket)
        send(responder, reply, socket);
}

void PackServer::send(QHttpServerResponder &responder, const Reply &reply, QTcpSocket *socket)
{
    RequestGate *gate = RequestGate::of(socket);
    const bool keep = !gate || gate->keepsAlive();
    responder.writeStatusLine(reply.status);
    responder.writeHeader(QByteArrayLiteral("Content-Type"), reply.contentType);
    if (!reply.allow.isEmpty())
        responder.writeHeader(QByteArrayLiteral("Allow"), reply.allow);
    responder.writeHeader(QByteArrayLiteral("Connection"),
        keep ? QByteArrayLiteral("keep-alive") : QByteArrayLiteral("close"));
    responder.writeHeader(
        QByteArrayLiteral("Content-Length"), QByteArray::number(reply.body.size()));
    responder.writeBody(reply.body);
    if (gate)
        gate->answered();
}

// The model's own failure is a bad gateway; anything else is ours.
PackServer::Reply PackServer::modelFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const TaviError &e) {
        return error(Status::BadGateway, e.description());
    } catch (const std::exception &e) {
        return error(Status::InternalServerError, QString::fromUtf8(e.what()));
    } catch (...) {
        return error(Status::InternalServerError, QStringLiteral("Unexpected failure."));
    }
}

PackServer::Reply PackServer::error(Status status, const QString &text)
{
    const QJsonObject body {{QStringLiteral("error"), text}};
    return Reply {status, QJsonDocument(body).toJson(QJsonDocument::Compact)};
}
