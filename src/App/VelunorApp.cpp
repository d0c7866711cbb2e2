#include "VelunorApp.h"

#include "DesktopPalette.h"
#include "Memory.h"
#include "SparkleUpdaterController.h"
#include "TextInputAccessibility.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(VuzevTaviPlugin)

VelunorApp::VelunorApp(QObject *parent)
    : QObject(parent)
{
    SparkleUpdaterController::shared();
    TextInputAccessibility::install();
}

QUrl VelunorApp::mainQml()
{
    return QUrl(QStringLiteral("qrc:/VuzevTavi/Main.qml"));
}

QQuickWindow *VelunorApp::openWindow(QQmlApplicationEngine &engine)
{
    engine.load(mainQml());
    const auto roots = engine.rootObjects();
    QQuickWindow *window
        = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.constFirst());
    DesktopPalette::follow(window);
    return window;
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
