#pragma once

// The answers of the pack service, as the client reads them. Private to the
// client: the rest of the program sees only the values the operations return.

#include "CapabilityPack.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace Envelopes {

struct CurrentPackResponse
{
    CapabilityPack pack;
    std::optional<QString> liveVersion;
};

struct CoachResponse
{
    CapabilityPack pack;
    std::optional<QString> coachModel;
};

struct PreviewResponse
{
    struct Reply
    {
        std::optional<QString> text;
    };
    std::optional<Reply> reply;
    std::optional<QString> packVersion;
};

// Publish and rollback answer alike.
struct PublishResponse
{
    CapabilityPack pack;
    std::optional<QString> liveVersion;
};

// Each throws JsonReadError saying what is wrong with the answer. Members not
// named here are ignored; optional members may be missing or null, but a value of
// the wrong type is refused. An answer as the network reply hands it over has room
// past its end, and is then read without a copy (see JsonRead::Document).
CurrentPackResponse readCurrentPackResponse(const QByteArray &body);
CoachResponse readCoachResponse(const QByteArray &body);
PreviewResponse readPreviewResponse(const QByteArray &body);
PublishResponse readPublishResponse(const QByteArray &body);

} // namespace Envelopes
