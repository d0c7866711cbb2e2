#include "Envelopes.h"

#include "JsonRead.h"

namespace Envelopes {

namespace {

// Errors about the envelope itself get the answer named as the culprit: the
// operator should see that the service sent something odd, not that the program
// misread a file. Errors inside the pack already say so.
template<typename Read> auto readAnswer(const QByteArray &body, Read read)
{
    std::optional<JsonRead::Document> document;
    simdjson::dom::object root;
    try {
        document.emplace(body);
        root = JsonRead::object(document->root(), QString());
    } catch (const JsonReadError &error) {
        throw JsonReadError(QStringLiteral("The service's answer could not be read: ")
            + JsonRead::midSentence(error.description()));
    }
    return read(*document, root);
}

std::optional<QString> optionalString(
    simdjson::dom::object root, const char *key, const QString &objectPath = QString())
{
    try {
        return JsonRead::optionalString(root, key, objectPath);
    } catch (const JsonReadError &error) {
        throw JsonReadError(QStringLiteral("The service's answer could not be read: ")
            + JsonRead::midSentence(error.description()));
    }
}

CapabilityPack requiredPack(const JsonRead::Document &document, simdjson::dom::object root)
{
    simdjson::dom::element value;
    if (root.at_key("pack").get(value) != simdjson::SUCCESS)
        throw JsonReadError(
            QStringLiteral("The service's answer could not be read: \"pack\" is missing"));
    if (value.is_null())
        throw JsonReadError(
            QStringLiteral("The service's answer could not be read: \"pack\" is null"));
    return JsonRead::capabilityPack(document, value, QStringLiteral("pack"));
}

} // namespace

CurrentPackResponse readCurrentPackResponse(const QByteArray &body)
{
    return readAnswer(body, [](const JsonRead::Document &document, simdjson::dom::object root) {
        CurrentPackResponse response;
        response.liveVersion = optionalString(root, "live_version");
        response.pack = requiredPack(document, root);
        return response;
    });
}

CoachResponse readCoachResponse(const QByteArray &body)
{
    return readAnswer(body, [](const JsonRead::Document &document, simdjson::dom::object root) {
        CoachResponse response;
        response.coachModel = optionalString(root, "coach_model");
        response.pack = requiredPack(document, root);
        return response;
    });
}

PreviewResponse readPreviewResponse(const QByteArray &body)
{
    return readAnswer(body, [](const JsonRead::Document &, simdjson::dom::object root) {
        PreviewResponse response;
        if (const auto reply = JsonRead::member(root, "reply")) {
            simdjson::dom::object replyObject;
            if (reply->get_object().get(replyObject) != simdjson::SUCCESS)
                throw JsonReadError(QStringLiteral(
                    "The service's answer could not be read: reply must be an object"));
            response.reply = PreviewResponse::Reply {
                optionalString(replyObject, "text", QStringLiteral("reply"))};
        }
        response.packVersion = optionalString(root, "pack_version");
        return response;
    });
}

PublishResponse readPublishResponse(const QByteArray &body)
{
    return readAnswer(body, [](const JsonRead::Document &document, simdjson::dom::object root) {
        PublishResponse response;
        response.liveVersion = optionalString(root, "live_version");
        response.pack = requiredPack(document, root);
        return response;
    });
}

} // namespace Envelopes
