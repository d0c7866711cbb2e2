#include "SparkleUpdaterController.h"

#include "BundleInfo.h"
#include "Updater.h"

#include <QCoreApplication>
#include <QJSEngine>
#include <QThread>
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

SparkleUpdaterController::SparkleUpdaterController()
    : m_updater(new Updater(
        UpdaterConfiguration::fromBundle(), std::make_unique<SystemUpdaterClock>(), this))
{
    connect(
        m_updater, &Updater::settingsChanged, this, &SparkleUpdaterController::objectWillChange);
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        m_updater->start();
        return;
    }
    // Whoever touched it first, the controller and its updater live on the
    // user-interface thread, and an update downloaded in the background is
    // swapped in as the program quits.
    if (thread() != app->thread())
        moveToThread(app->thread());
    connect(app, &QCoreApplication::aboutToQuit, m_updater, [this] {
        m_updater->installStagedUpdate();
        UpdaterSettings::waitForSaves();
    });
    if (QThread::currentThread() == app->thread())
        m_updater->start();
    else
        QMetaObject::invokeMethod(m_updater, &Updater::start, Qt::QueuedConnection);
}

void SparkleUpdaterController::checkForUpdates()
{
    Q_EMIT checkStarted();
    m_updater->checkForUpdates();
}

bool SparkleUpdaterController::automaticallyChecksForUpdates() const
{
    return m_updater->automaticallyChecksForUpdates();
}

void SparkleUpdaterController::setAutomaticallyChecksForUpdates(bool value)
{
    m_updater->setAutomaticallyChecksForUpdates(value); // the updater signals the change
}

bool SparkleUpdaterController::automaticallyDownloadsUpdates() const
{
    return m_updater->automaticallyDownloadsUpdates();
}

void SparkleUpdaterController::setAutomaticallyDownloadsUpdates(bool value)
{
    m_updater->setAutomaticallyDownloadsUpdates(value);
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

QString SparkleUpdaterController::installNote() const
{
    return m_updater->location().note();
}

UpdaterUserDriver *SparkleUpdaterController::userDriver() const
{
    return m_updater->userDriver();
}
