// One keystroke in the window's "Persona voice" editor while a 5 MB pack is the
// draft, from the key press until the frame that shows it is drawn, against the
// same keystroke in a plain text area in a window of the same size.
//
// The frame is asked for at once after the key instead of waiting for the
// display's next refresh, so the numbers are the work a keystroke costs (event,
// write-back of the whole pack, bindings, layout, drawing), not the refresh wait.

#include "BenchSupport.h"
#include "LanguageModel.h"
#include "LargePackService.h"
#include "Memory.h"
#include "PackGenerator.h"
#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"
#include "VelunorApp.h"
#include "VoridIzid.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {

struct Keystrokes
{
    double medianMs = 0;
    double worstMs = 0;
};

// Types `count` characters at the end of `editor` (deleting each again, so the
// text keeps its size), timing each key until its frame has been drawn.
Keystrokes time(QQuickWindow *window, QQuickItem *editor, int count)
{
    window->requestActivate();
    editor->forceActiveFocus();
    editor->setProperty("cursorPosition", editor->property("length"));
    int frames = 0;
    const auto connection
        = QObject::connect(window, &QQuickWindow::frameSwapped, window, [&] { ++frames; });
    std::vector<double> samples;
    for (int i = 0; i < 2 * count; ++i) {
        const bool typing = i % 2 == 0;
        const int key = typing ? Qt::Key_X : Qt::Key_Backspace;
        const QString text = typing ? QStringLiteral("x") : QString();
        QElapsedTimer clock;
        clock.start();
        const int before = frames;
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(window, &press);
        QCoreApplication::sendEvent(window, &release);
        QEvent frame(QEvent::UpdateRequest);
        QCoreApplication::sendEvent(window, &frame);
        if (!QTest::qWaitFor([&] { return frames > before; }, 2000))
            qFatal("no frame was drawn after a keystroke");
        if (i >= 4) // the first keys warm the caches
            samples.push_back(double(clock.nsecsElapsed()) / 1e6);
        QTest::qWait(2);
    }
    QObject::disconnect(connection);
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.back()};
}

} // namespace

int main(int argc, char **argv)
{
    keepFreedMemoryForReuse();
    qputenv("TAVI_PACK_SERVICE_BIN", TAVI_PACK_SERVICE_BIN_PATH);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    LargePackService service;

    // The baseline: a plain text area holding the same voice, in a window of the same size.
    QQmlApplicationEngine plainEngine;
    plainEngine.loadData(R"(
        import QtQuick
        import QtQuick.Controls
        ApplicationWindow {
            width: 1100; height: 760; visible: true
            TextArea { objectName: "plain"; width: 440; wrapMode: TextEdit.Wrap }
        })");
    auto *plainWindow = qobject_cast<QQuickWindow *>(plainEngine.rootObjects().value(0));
    if (!plainWindow || !QTest::qWaitForWindowExposed(plainWindow))
        qFatal("the baseline window did not show");
    auto *plain = plainWindow->findChild<QQuickItem *>(QStringLiteral("plain"));

    qputenv("TAVI_API_BASE", service.baseUrl().toString().toUtf8());
    VelunorApp velunor;
    QQmlApplicationEngine engine;
    QQuickWindow *window = velunor.openWindow(engine);
    if (!window || !QTest::qWaitForWindowExposed(window))
        qFatal("the window did not show");
    auto *workspace = window->findChild<VoridIzid *>(QStringLiteral("workspace"));
    if (!QTest::qWaitFor([&] { return workspace->hasPack() && !workspace->busy(); }, 60000))
        qFatal("the 5 MB pack did not load: %s", qPrintable(workspace->status()));
    plain->setProperty("text", workspace->voice());
    auto *voice = window->findChild<QQuickItem *>(QStringLiteral("voiceEditor"));

    const int keys = 100;
    const Keystrokes baseline = time(plainWindow, plain, keys);
    const Keystrokes measured = time(window, voice, keys);
    if (workspace->voice() != plain->property("text").toString())
        qFatal("the keystrokes did not reach the draft");

    Bench::reportAbsolute(
        QStringLiteral("keystroke in Persona voice of a 5 MB pack until drawn, median"),
        measured.medianMs, 16, QStringLiteral("ms"));
    Bench::reportAbsolute(
        QStringLiteral("keystroke in Persona voice of a 5 MB pack until drawn, worst"),
        measured.worstMs, 16, QStringLiteral("ms"));
    Bench::reportValue(QStringLiteral("keystroke in a plain text area until drawn, median"),
        baseline.medianMs, QStringLiteral("ms"));
    Bench::reportRatio(QStringLiteral("Persona voice keystroke vs plain text area keystroke"),
        measured.medianMs * 1e6, baseline.medianMs * 1e6, 4);
    return Bench::exitCode();
}
