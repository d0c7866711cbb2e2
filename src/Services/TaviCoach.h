#pragma once

#include "Cancellation.h"
#include "CapabilityPack.h"

#include <QCoroTask>
#include <QString>
#include <QStringView>

#include <optional>

enum class CoachSource { appleFoundation, mlx };

QString rawValue(CoachSource source);
std::optional<CoachSource> coachSourceFromRawValue(QStringView raw);

struct CoachOutcome
{
    CapabilityPack pack;
    std::optional<QString> preview;
    CoachSource source = CoachSource::appleFoundation;
};

// Coach and preview on the model of this machine. Stateless.
namespace TaviCoach {

// One line for the window header; never blocks.
QString appleIntelligenceStatus();

// nullopt when the local model is not available; throws the model's error when a run fails.
QCoro::Task<std::optional<CoachOutcome>> appleDraft(QString instruction, CapabilityPack pack);
QCoro::Task<std::optional<QString>> applePreview(QString message, CapabilityPack pack);
// What applePreview asks the local model, without asking first whether it is
// available: for a caller that has just asked, and routes and paces its own
// requests (a review run). Throws the model's error; `cancellation` stops it.
QCoro::Task<QString> appleReply(
    QString message, CapabilityPack pack, CancellationHandle cancellation = {});

// One string member out of a model answer that should be JSON.
std::optional<QString> extract(QStringView jsonKey, QStringView from);

} // namespace TaviCoach
