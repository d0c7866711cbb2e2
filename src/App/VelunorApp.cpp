#include "VelunorApp.h"

#include "DesktopPalette.h"
#include "Memory.h"
#include "SparkleUpdaterController.h"
#include "TextInputAccessibility.h"

#include <QGuiApplication>
#include <QIcon>
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
    if (roots.isEmpty())
        return nullptr;
    auto *window = qobject_cast<QQuickWindow *>(roots.constFirst());
    DesktopPalette::follow(window);
    // The updater's own dialogs: a second, hidden window shown when it has something to say.
    engine.load(QUrl(QStringLiteral("qrc:/VuzevTavi/UpdaterDialogs.qml")));
    if (engine.rootObjects().size() > 1)
        DesktopPalette::follow(qobject_cast<QQuickWindow *>(engine.rootObjects().constLast()));
    return window;
}

int velunorMain(int argc, char *argv[])
{
    keepFreedMemoryForReuse();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vuzev Tavi"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vuzev"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vuzev-tavi"));
    QIcon icon;
    for (const int size : {32, 64, 256})
        icon.addFile(QStringLiteral(":/VuzevTavi/icons/%1.png").arg(size), QSize(size, size));
    QGuiApplication::setWindowIcon(icon);

    VelunorApp velunor;
    QQmlApplicationEngine engine;
    if (!velunor.openWindow(engine))
        return 1;
    return QGuiApplication::exec();
}
