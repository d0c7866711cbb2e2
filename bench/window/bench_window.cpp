// One keystroke in the window's "Persona voice" editor while a 5 MB pack is the
// draft, from the key press until the frame that shows it is drawn, against the
// same keystroke in a plain text area in a window of the same size; the same
// with the review panel open (its changes follow every keystroke); and the
// longest stall of the window while the panel runs a test set whose replies
// are 2,000 words each.
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
#include "ReviewSession.h"
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
#include <QSignalSpy>
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
    // The review panel keeps its test set in the data folder: not the operator's.
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());

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

    // The panel open: every keystroke is compared with live on a worker.
    auto *review = window->findChild<ReviewSession *>(QStringLiteral("reviewSession"));
    QSignalSpy compared(review, qOverload<>(&ReviewSession::compared));
    review->setOpen(true);
    if (!compared.wait(60000) || !QTest::qWaitFor([&] { return review->testSetReady(); }, 10000))
        qFatal("the review panel did not compare the 5 MB draft with live");
    compared.clear();
    const Keystrokes withPanel = time(window, voice, keys);
    // The last keystroke is still to be compared: the panel follows the typing.
    if (!compared.wait(60000))
        qFatal("the panel did not follow the keystrokes: %s", qPrintable(review->changesText()));

    // Runs of ten messages from the local model, the results in view: replies
    // of two words, then of 2,000 words. The model server answers on this
    // thread too, so the short run is the baseline for what long replies add.
    for (int i = 1; i < 10; ++i)
        review->addMessage(QStringLiteral("Pesan %1").arg(i));
    auto *tabs = window->findChild<QQuickItem *>(QStringLiteral("reviewTabs"));
    tabs->setProperty("currentIndex", 2);
    const auto longestStallOfRun = [&](const QString &reply) {
        service.model().setAnswer(reply);
        Bench::StallMeter stalls;
        stalls.start();
        review->run();
        if (!QTest::qWaitFor([&] { return !review->running(); }, 300000))
            qFatal("the run did not end: %s", qPrintable(review->progressText()));
        stalls.stop();
        if (review->messagesDone() != 10)
            qFatal("the run ended early: %s", qPrintable(review->progressText()));
        return stalls.longestStallMs();
    };
    QString reply;
    for (int i = 0; i < 2000; ++i)
        reply += QStringLiteral("kata%1 ").arg(i % 97);
    const double shortStall = longestStallOfRun(QStringLiteral("Halo Kak!"));
    const double longStall = longestStallOfRun(reply);
    // Asked for, one row shows both replies whole: a layout of 4,000 words.
    Bench::StallMeter expanding;
    expanding.start();
    review->setExpanded(0, true);
    QTest::qWait(300);
    expanding.stop();

    Bench::reportAbsolute(
        QStringLiteral("keystroke in Persona voice of a 5 MB pack until drawn, median"),
        measured.medianMs, 16, QStringLiteral("ms"));
    Bench::reportAbsolute(
        QStringLiteral("keystroke in Persona voice of a 5 MB pack until drawn, worst"),
        measured.worstMs, 16, QStringLiteral("ms"));
    Bench::reportAbsolute(QStringLiteral("the same with the review panel open, median"),
        withPanel.medianMs, 16, QStringLiteral("ms"));
    Bench::reportAbsolute(QStringLiteral("the same with the review panel open, worst"),
        withPanel.worstMs, 16, QStringLiteral("ms"));
    Bench::reportAbsolute(
        QStringLiteral("longest stall of the window while the panel runs 10 messages with "
                       "2,000-word replies"),
        longStall, 16, QStringLiteral("ms"));
    Bench::reportValue(
        QStringLiteral("the same with two-word replies"), shortStall, QStringLiteral("ms"));
    Bench::reportValue(QStringLiteral("longest stall when one row shows its two replies whole"),
        expanding.longestStallMs(), QStringLiteral("ms"));
    Bench::reportValue(QStringLiteral("keystroke in a plain text area until drawn, median"),
        baseline.medianMs, QStringLiteral("ms"));
    Bench::reportRatio(QStringLiteral("Persona voice keystroke vs plain text area keystroke"),
        measured.medianMs * 1e6, baseline.medianMs * 1e6, 4);
    return Bench::exitCode();
}
