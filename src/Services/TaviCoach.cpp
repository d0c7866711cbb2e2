#include "TaviCoach.h"

#include "JsonRead.h"
#include "LanguageModel.h"

#include <QDateTime>
#include <QJsonArray>

#include <simdjson.h>

#include <string_view>

QString rawValue(CoachSource source)
{
    switch (source) {
    case CoachSource::appleFoundation:
        return QStringLiteral("apple-foundation");
    case CoachSource::mlx:
        return QStringLiteral("mlx");
    }
    Q_UNREACHABLE();
}

std::optional<CoachSource> coachSourceFromRawValue(QStringView raw)
{
    if (raw == QLatin1String("apple-foundation"))
        return CoachSource::appleFoundation;
    if (raw == QLatin1String("mlx"))
        return CoachSource::mlx;
    return std::nullopt;
}

namespace {

using Reason = SystemLanguageModel::Availability::Reason;

const QString coachInstructions
    = QStringLiteral("You are Tavi's voice coach for Kelora operators (ZODE-016).\n"
                     "Return ONLY JSON with keys voice, cta, confirm_copy, preview_reply.\n"
                     "Never invent prices. Never suggest booking without confirmation.");

// Small local models drift out of JSON unless the server constrains them.
QJsonObject coachSchema()
{
    const QJsonObject string {{QStringLiteral("type"), QStringLiteral("string")}};
    return QJsonObject {
        {QStringLiteral("type"), QStringLiteral("object")},
        {QStringLiteral("properties"),
            QJsonObject {{QStringLiteral("voice"), string}, {QStringLiteral("cta"), string},
                {QStringLiteral("confirm_copy"), string},
                {QStringLiteral("preview_reply"), string}}},
        {QStringLiteral("required"),
            QJsonArray {QStringLiteral("voice"), QStringLiteral("cta"),
                QStringLiteral("confirm_copy"), QStringLiteral("preview_reply")}},
        {QStringLiteral("additionalProperties"), false},
    };
}

QString coachPrompt(const QString &instruction, const CapabilityPack &pack)
{
    return QStringLiteral("Operator instruction: ") + instruction
        + QStringLiteral("\n\nCurrent Tavi voice: ") + pack.modules.persona.voice
        + QStringLiteral("\nCurrent CTA: ") + pack.modules.replyRules.cta
        + QStringLiteral("\nCurrent confirm copy: ")
        + pack.modules.guardrails.confirmCopy.value_or(QString());
}

enum class Parse { notAnObject, object };

// Parses `json`; when it is an object, `*result` is the key's string member, if any.
Parse stringMember(QByteArrayView json, std::string_view key, std::optional<QString> *result)
{
    try {
        const JsonRead::Document document(json);
        simdjson::dom::object object;
        if (document.root().get_object().get(object) != simdjson::SUCCESS)
            return Parse::notAnObject;
        std::string_view text;
        if (object.at_key(key).get(text) == simdjson::SUCCESS)
            *result = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        return Parse::object;
    } catch (const JsonReadError &) {
        return Parse::notAnObject;
    }
}

bool nonEmpty(const std::optional<QString> &value)
{
    return value && !value->isEmpty();
}

} // namespace

namespace TaviCoach {

QString appleIntelligenceStatus()
{
    const auto availability = SystemLanguageModel::defaultModel().availability();
    switch (availability.reason) {
    case Reason::none:
        return QStringLiteral("Apple Intelligence is available on this Mac \u2014 coach and "
                              "preview stay on-device.");
    case Reason::deviceNotEligible:
        return QStringLiteral("This Mac is not eligible for Apple Intelligence \u2014 coach and "
                              "preview will use Der Udez OV.");
    case Reason::appleIntelligenceNotEnabled:
        return QStringLiteral("Turn on Apple Intelligence in System Settings to coach on this "
                              "Mac. Until then, Der Udez OV is the fallback.");
    case Reason::modelNotReady:
        return QStringLiteral(
            "Apple Intelligence is on, but the on-device model is still downloading.");
    case Reason::other:
        break;
    }
    return QStringLiteral("Apple Intelligence unavailable (") + availability.description
        + QStringLiteral(") \u2014 coach and preview will use Der Udez OV.");
}

std::optional<QString> extract(QStringView jsonKey, QStringView from)
{
    const QByteArray key = jsonKey.toUtf8();
    const std::string_view keyView(key.constData(), static_cast<size_t>(key.size()));
    std::optional<QString> result;
    if (stringMember(from.toUtf8(), keyView, &result) == Parse::object)
        return result;

    const qsizetype open = from.indexOf(QLatin1Char('{'));
    const qsizetype close = from.lastIndexOf(QLatin1Char('}'));
    if (open < 0 || close < 0 || open > close)
        return std::nullopt;
    stringMember(from.sliced(open, close - open + 1).toUtf8(), keyView, &result);
    return result;
}

QCoro::Task<std::optional<CoachOutcome>> appleDraft(QString instruction, CapabilityPack pack)
{
    auto &model = SystemLanguageModel::defaultModel();
    // A run decides on a fresh answer: the server may have gone since the last probe.
    const auto availability = co_await model.refreshAvailability();
    if (!availability.isAvailable())
        co_return std::nullopt;

    LanguageModelSession session(model, coachInstructions);
    const QString answer = co_await session.respond(
        coachPrompt(instruction, pack), GenerationOptions {}, coachSchema());

    const auto voice = extract(u"voice", answer);
    const auto cta = extract(u"cta", answer);
    const auto confirmCopy = extract(u"confirm_copy", answer);
    const auto preview = extract(u"preview_reply", answer);

    if (nonEmpty(voice))
        pack.modules.persona.voice = *voice;
    else if (!answer.trimmed().isEmpty())
        pack.modules.persona.voice = instruction;
    if (nonEmpty(cta))
        pack.modules.replyRules.cta = *cta;
    if (nonEmpty(confirmCopy))
        pack.modules.guardrails.confirmCopy = *confirmCopy;

    pack.provenance = CapabilityPack::Provenance {
        QStringLiteral("operator"),
        rawValue(CoachSource::appleFoundation),
        instruction,
        QDateTime::currentDateTimeUtc().toString(Qt::ISODate),
    };
    co_return CoachOutcome {std::move(pack), preview, CoachSource::appleFoundation};
}

QCoro::Task<std::optional<QString>> applePreview(QString message, CapabilityPack pack)
{
    auto &model = SystemLanguageModel::defaultModel();
    const auto availability = co_await model.refreshAvailability();
    if (!availability.isAvailable())
        co_return std::nullopt;
    QCoro::Task<QString> replying = appleReply(std::move(message), std::move(pack));
    co_return co_await std::move(replying);
}

QCoro::Task<QString> appleReply(
    QString message, CapabilityPack pack, CancellationHandle cancellation)
{
    LanguageModelSession session(
        SystemLanguageModel::defaultModel(), pack.taviInstructions(QStringLiteral("{}")));
    session.setCancellation(std::move(cancellation));
    QCoro::Task<QString> responding = session.respond(message);
    co_return co_await std::move(responding);
}

} // namespace TaviCoach
