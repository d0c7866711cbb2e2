#pragma once

#include "PackAPI.h"
#include "TaviError.h"

#include <QByteArrayView>
#include <QCoroTask>
#include <QList>
#include <QString>

#include <optional>

// The published versions of a pack service, for services that keep them
// (GET /api/capability-packs/history). Not every service offers this: PackAPI's
// five operations are all a service must answer.
struct PackHistory
{
    struct Entry
    {
        QString version;
        std::optional<QString> parentVersion;
        std::optional<QString> author;
        // When it was published, as the service writes it.
        std::optional<QString> createdAt;
        std::optional<QString> coachModel;
        std::optional<QString> coachInstruction;
        // Whether it is still on the way back from live (a rolled-back version is not).
        std::optional<bool> inLiveChain;
    };

    std::optional<QString> liveVersion;
    // Oldest first, as the service lists them.
    QList<Entry> versions;

    // Throws JsonReadError naming what is wrong.
    static PackHistory fromJson(QByteArrayView body);
};

// The service answered that it has no such endpoint (404, 405 or 501).
class HistoryUnavailableError : public TaviError
{
public:
    using TaviError::TaviError;
};

// Throws HistoryUnavailableError, or what PackAPI's operations throw.
QCoro::Task<PackHistory> fetchPackHistory(PackAPI api);
