#include "VelunorApp.h"

#include "DesktopPalette.h"
#include "Memory.h"
#include "SparkleUpdaterController.h"
#include "StartupGate.h"
#include "TextInputAccessibility.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>

#include <memory>

Q_IMPORT_QML_PLUGIN(VuzevTaviPlugin)

VelunorApp::VelunorApp(QObject *parent)
    : QObject(parent)
{
    // Held before the updater starts, so that what it does at start (its
    // schedule, its tidying) waits for the window's first frame as well.
    StartupGate::hold();
    SparkleUpdaterController::shared();
    TextInputAccessibility::install();
}

void VelunorApp::prepareMemory()
{
    keepFreedMemoryForReuse();
    // Building the window takes some 10 MiB of heap, every page of it new.
    growHeapInLargePages(16 * 1024 * 1024);
}

void VelunorApp::describeApplication()
{
    QGuiApplication::setApplicationName(QStringLiteral("Vuzev Tavi"));
    QGuiApplication::setOrganizationName(QStringLiteral("Vuzev"));
    QGuiApplication::setDesktopFileName(QStringLiteral("vuzev-tavi"));
    // Reading the first image loads every image-format plugin installed: the
    // window's own icon comes after its first frame.
    StartupGate::hold();
    StartupGate::whenReleased(qApp, [] {
        QIcon icon;
        for (const int size : {32, 64, 256})
            icon.addFile(QStringLiteral(":/VuzevTavi/icons/%1.png").arg(size), QSize(size, size));
        QGuiApplication::setWindowIcon(icon);
    });
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
    // Emitted on the render thread where there is one, and on this one in the
    // middle of presenting the frame where there is not: released afterwards,
    // on this thread, in either case.
    connect(
        window, &QQuickWindow::frameSwapped, this, [] { StartupGate::release(); },
        static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));

    // The updater's own dialogs: a second window, built the first time the
    // updater has something to say (most runs it says nothing) and never
    // before the first frame.
    UpdaterUserDriver *driver = SparkleUpdaterController::shared().userDriver();
    const auto built = std::make_shared<bool>(false);
    QQmlApplicationEngine *const dialogsEngine = &engine;
    const auto buildDialogs = [dialogsEngine, driver, built] {
        if (*built || driver->stage() == UpdaterUserDriver::Stage::Hidden || StartupGate::isHeld())
            return;
        *built = true;
        const qsizetype before = dialogsEngine->rootObjects().size();
        dialogsEngine->load(QUrl(QStringLiteral("qrc:/VuzevTavi/UpdaterDialogs.qml")));
        if (dialogsEngine->rootObjects().size() > before)
            DesktopPalette::follow(
                qobject_cast<QQuickWindow *>(dialogsEngine->rootObjects().constLast()));
    };
    connect(driver, &UpdaterUserDriver::changed, window, buildDialogs);
    StartupGate::whenReleased(window, buildDialogs);
    return window;
}

int velunorMain(int argc, char *argv[])
{
    VelunorApp::prepareMemory();
    QGuiApplication app(argc, argv);
    VelunorApp::describeApplication();
    VelunorApp velunor;
    QQmlApplicationEngine engine;
    if (!velunor.openWindow(engine))
        return 1;
    return QGuiApplication::exec();
}
