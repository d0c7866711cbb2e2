#include "VelunorApp.h"

#include "Memory.h"
#include "SparkleUpdaterController.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(VuzevTaviPlugin)

VelunorApp::VelunorApp(QObject *parent)
    : QObject(parent)
{
    SparkleUpdaterController::shared();
}

QUrl VelunorApp::mainQml()
{
    return QUrl(QStringLiteral("qrc:/VuzevTavi/Main.qml"));
}

QQuickWindow *VelunorApp::openWindow(QQmlApplicationEngine &engine)
{
    engine.load(mainQml());
    const auto roots = engine.rootObjects();
    if (roots.isEmpty())
        return nullptr;
    // The updater's own dialogs: a second, hidden window shown when it has something to say.
    engine.load(QUrl(QStringLiteral("qrc:/VuzevTavi/UpdaterDialogs.qml")));
    return qobject_cast<QQuickWindow *>(roots.constFirst());
}

int velunorMain(int argc, char *argv[])
{
    keepFreedMemoryForReuse();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vuzev Tavi"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vuzev"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vuzev-tavi"));

    VelunorApp velunor;
    QQmlApplicationEngine engine;
    if (!velunor.openWindow(engine))
        return 1;
    return QGuiApplication::exec();
}
