#include "SparkleUpdaterController.h"

#include "BundleInfo.h"

#include <QJSEngine>
#include <QUrl>

SparkleUpdaterController &SparkleUpdaterController::shared()
{
    // A function-local static: C++ guarantees one construction under concurrent first calls.
    static SparkleUpdaterController *const instance = new SparkleUpdaterController;
    return *instance;
}

SparkleUpdaterController *SparkleUpdaterController::create(QQmlEngine *, QJSEngine *engine)
{
    SparkleUpdaterController *controller = &shared();
    engine->setObjectOwnership(controller, QJSEngine::CppOwnership);
    return controller;
}

SparkleUpdaterController::SparkleUpdaterController() = default;

void SparkleUpdaterController::checkForUpdates()
{
    Q_EMIT checkStarted();
}

bool SparkleUpdaterController::automaticallyChecksForUpdates() const
{
    return m_automaticallyChecks;
}

void SparkleUpdaterController::setAutomaticallyChecksForUpdates(bool value)
{
    m_automaticallyChecks = value;
    Q_EMIT objectWillChange();
}

bool SparkleUpdaterController::automaticallyDownloadsUpdates() const
{
    return m_automaticallyDownloads;
}

void SparkleUpdaterController::setAutomaticallyDownloadsUpdates(bool value)
{
    m_automaticallyDownloads = value;
    Q_EMIT objectWillChange();
}

QString SparkleUpdaterController::currentVersionLabel()
{
    const QString dash = QStringLiteral("\u2014");
    return BundleInfo::text(QStringLiteral("CFBundleShortVersionString")).value_or(dash)
        + QStringLiteral(" (") + BundleInfo::text(QStringLiteral("CFBundleVersion")).value_or(dash)
        + QLatin1Char(')');
}

QString SparkleUpdaterController::feedHost()
{
    return QUrl(BundleInfo::text(QStringLiteral("SUFeedURL")).value_or(QString())).host();
}
