#include "OnDeviceModel.h"

#include "LanguageModel.h"
#include "TaviCoach.h"

OnDeviceModel::OnDeviceModel(QObject *parent)
    : QObject(parent)
{
    connect(&SystemLanguageModel::defaultModel(), &SystemLanguageModel::availabilityChanged, this,
        &OnDeviceModel::changed);
}

OnDeviceModel *OnDeviceModel::create(QQmlEngine *, QJSEngine *)
{
    // One per engine, owned by it: the connection ends with the window's engine.
    return new OnDeviceModel;
}

QString OnDeviceModel::statusText()
{
    return TaviCoach::appleIntelligenceStatus();
}

bool OnDeviceModel::available()
{
    return SystemLanguageModel::defaultModel().isAvailable();
}
