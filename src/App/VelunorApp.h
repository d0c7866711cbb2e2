#pragma once

#include <QObject>
#include <QUrl>

class QQmlApplicationEngine;
class QQuickWindow;

// The application: the shared update controller, then the one window whose
// content is a fresh workspace. Holds no state of its own.
class VelunorApp : public QObject
{
    Q_OBJECT

public:
    // Touches the shared update controller once, so the updater exists and has
    // started before any window is built.
    explicit VelunorApp(QObject *parent = nullptr);

    // What the process does first, before Qt allocates anything: freed memory
    // kept for reuse, and the heap the window is built on grown in large pages.
    static void prepareMemory();

    // The application's names for the desktop, and its window icon, which is
    // set once the window has drawn its first frame.
    static void describeApplication();

    // The window's QML, loaded into `engine`; the root object is the window.
    // The updater's dialogs join the engine's root objects the first time the
    // updater has something to say.
    static QUrl mainQml();
    QQuickWindow *openWindow(QQmlApplicationEngine &engine);
};

// The process entry: a GUI application running VelunorApp until its window closes.
int velunorMain(int argc, char *argv[]);
