// The review panel as the operator meets it: the real window offscreen, the
// panel opened from the toolbar, the menu or its shortcut, talking HTTP to the
// reference pack service (whose model is a scripted server) or to a scripted
// stand-in that counts requests. What the operator reads is read from the item
// that shows it; any QML warning fails the test.

#include "LanguageModel.h"
#include "PackServiceProcess.h"
#include "QmlWarnings.h"
#include "ReviewSession.h"
#include "ScriptedHttpServer.h"
#include "ScriptedModelServer.h"
#include "TestSet.h"
#include "VelunorApp.h"
#include "VoridIzid.h"

#include <QAccessible>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

QString words(int count, const QString &word = QStringLiteral("kata"))
{
    return QStringList(count, word).join(QLatin1Char(' '));
}

// A chat answer for the service's model: long, and saying a denied item, when
// the instructions carry the draft's mark; 500 for a message that asks for it.
ScriptedResponse modelAnswer(const ScriptedRequest &request, const QString &deniedItem,
    const QString &longAnswer, std::chrono::milliseconds delay)
{
    if (request.method == "GET")
        return ScriptedResponse::json(200, R"({"data":[{"id":"tavi-test-model"}]})");
    const QByteArray body = request.body;
    if (body.contains("rusak"))
        return ScriptedResponse::json(500, R"({"error":{"message":"model broke"}})")
            .withDelay(delay);
    const QString text = !longAnswer.isEmpty() ? longAnswer
        : body.contains("DRAFTMARK")           ? words(130) + QLatin1Char(' ') + deniedItem
                                               : QStringLiteral("Halo Kak!");
    const QJsonObject message {
        {QStringLiteral("role"), QStringLiteral("assistant")}, {QStringLiteral("content"), text}};
    const QJsonObject answer {{QStringLiteral("choices"),
        QJsonArray {QJsonObject {{QStringLiteral("index"), 0}, {QStringLiteral("message"), message},
            {QStringLiteral("finish_reason"), QStringLiteral("stop")}}}}};
    return ScriptedResponse::json(200, QJsonDocument(answer).toJson()).withDelay(delay);
}

} // namespace

class ReviewPanelTest : public QObject
{
    Q_OBJECT

private:
    VelunorApp m_app;
    QTemporaryDir m_data;
    std::unique_ptr<ScriptedModelServer> m_model;
    std::unique_ptr<PackServiceProcess> m_service;
    // A pack service that serves `m_live` and counts what it is asked.
    ScriptedHttpServer m_standIn;
    CapabilityPack m_live;
    std::chrono::milliseconds m_modelDelay {0};
    QString m_longAnswer;
    bool m_modelHangs = false;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    VoridIzid *m_workspace = nullptr;
    ReviewSession *m_review = nullptr;

    bool open(const QUrl &base)
    {
        qputenv("TAVI_API_BASE", base.toString().toUtf8());
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_window = m_app.openWindow(*m_engine);
        if (!m_window || !QTest::qWaitForWindowExposed(m_window))
            return false;
        m_window->requestActivate();
        m_workspace = m_window->findChild<VoridIzid *>(QStringLiteral("workspace"));
        m_review = m_window->findChild<ReviewSession *>(QStringLiteral("reviewSession"));
        return QTest::qWaitForWindowActive(m_window) && m_workspace && m_review
            && QTest::qWaitFor([this] { return !m_workspace->busy(); }, 10000);
    }
    // Opens the panel from the toolbar and waits until it shows the changes and the set.
    bool openPanel()
    {
        press("reviewChangesButton");
        return QTest::qWaitFor(
            [this] { return shown("reviewPanel") && m_review->testSetReady(); }, 10000);
    }
    template<class T = QQuickItem> T *item(const char *name) const
    {
        if (auto *found = m_window->findChild<T *>(QLatin1String(name)))
            return found;
        qFatal("no item %s", name);
    }
    QString text(const char *name) const
    {
        return item<QObject>(name)->property("text").toString();
    }
    bool shown(const char *name) const { return item(name)->isVisible(); }
    // The named item inside row `row` of a list view, made current so that it exists.
    QQuickItem *inRow(const char *list, int row, const char *name) const
    {
        QQuickItem *view = item(list);
        QMetaObject::invokeMethod(view, "positionViewAtIndex", Q_ARG(int, row), Q_ARG(int, 0));
        QQuickItem *delegate = nullptr;
        QMetaObject::invokeMethod(
            view, "itemAtIndex", Q_RETURN_ARG(QQuickItem *, delegate), Q_ARG(int, row));
        if (!delegate)
            qFatal("no row %d in %s", row, list);
        if (auto *found = delegate->findChild<QQuickItem *>(QLatin1String(name)))
            return found;
        qFatal("no %s in row %d of %s", name, row, list);
    }
    QString rowText(const char *list, int row, const char *name) const
    {
        return inRow(list, row, name)->property("text").toString();
    }
    int count(const char *list) const { return item(list)->property("count").toInt(); }
    static void press(QQuickItem *button)
    {
        QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
            QAccessibleActionInterface::pressAction());
    }
    void press(const char *name) const { press(item(name)); }
    void type(QQuickItem *field, const QString &typed)
    {
        m_window->requestActivate();
        field->forceActiveFocus(Qt::TabFocusReason);
        field->setProperty("cursorPosition", field->property("length"));
        for (QChar c : typed)
            QTest::keyClick(m_window, c.toLatin1());
    }

private Q_SLOTS:
    void initTestCase()
    {
        defaultHandler = qInstallMessageHandler(recordQmlWarnings);
        QVERIFY(m_data.isValid());
        qputenv("XDG_DATA_HOME", m_data.path().toUtf8());
        m_model = std::make_unique<ScriptedModelServer>();
        QFile seed(PackServiceProcess::defaultSeedPath());
        QVERIFY(seed.open(QIODevice::ReadOnly) && m_standIn.listen());
        const QByteArray seedJson = seed.readAll();
        m_standIn.setHandler([this, seedJson](const ScriptedRequest &) {
            const QJsonObject envelope {{QStringLiteral("pack"), m_live.toJsonObject()}};
            return ScriptedResponse::json(200, QJsonDocument(envelope).toJson());
        });
        m_live = CapabilityPack::fromJson(seedJson);
    }
    void init()
    {
        m_modelDelay = 0ms;
        m_longAnswer.clear();
        m_modelHangs = false;
        const QString denied = m_live.modules.guardrails.deny.value(0);
        m_model->http().setHandler([this, denied](const ScriptedRequest &request) {
            return m_modelHangs ? ScriptedResponse::hang()
                                : modelAnswer(request, denied, m_longAnswer, m_modelDelay);
        });
        PackServiceProcess::Options options;
        options.modelUrl = m_model->baseUrl().toString();
        options.model = m_model->modelName();
        m_service = std::make_unique<PackServiceProcess>(options);
        QVERIFY2(m_service->start(), qPrintable(m_service->output()));
        // Previews go to the service: the local model is off.
        SystemLanguageModel::defaultModel().configure(
            m_model->baseUrl(), m_model->modelName(), false);
    }
    void cleanup()
    {
        m_engine.reset();
        m_service.reset();
        QDir(m_data.path()).removeRecursively();
        QTest::qWait(20);
        QVERIFY2(qmlWarnings.isEmpty(), qPrintable(qmlWarnings.join(QLatin1Char('\n'))));
        qmlWarnings.clear();
    }
    void cleanupTestCase() { qInstallMessageHandler(defaultHandler); }

    // Closed, the window is the window it was plus the third toolbar item; the
    // toolbar, the menu and the shortcut all open and close the panel.
    void opensAndCloses()
    {
        QVERIFY(open(m_service->baseUrl()));
        QVERIFY(!shown("reviewPanel"));
        const auto whole = [this] { return item("workspaceScroll")->parentItem()->height(); };
        QCOMPARE(item("workspaceScroll")->height(), whole());
        QCOMPARE(text("reviewChangesButton"), QStringLiteral("Review changes"));
        QVERIFY(item("reloadButton")->x() > item("checkForUpdatesToolbarButton")->x());
        QVERIFY(item("reviewChangesButton")->x() > item("reloadButton")->x());
        QVERIFY(item("reviewChangesButton")->isEnabled());

        const std::function<void()> ways[] = {
            [this] { press("reviewChangesButton"); },
            [this] { press("reviewChangesMenuItem"); },
            [this] { QTest::keySequence(m_window, QKeySequence(QStringLiteral("Ctrl+Shift+R"))); },
        };
        for (const auto &way : ways) {
            way();
            QTRY_VERIFY(shown("reviewPanel"));
            QVERIFY(item("workspaceScroll")->height() < whole() * 0.6);
            way();
            QTRY_VERIFY(!shown("reviewPanel"));
        }
        QVERIFY(openPanel());
        press("closeReviewButton");
        QTRY_VERIFY(!shown("reviewPanel"));
        QCOMPARE(item("workspaceScroll")->height(), whole());

        // Tab from the last control of the window goes into the panel, in reading order.
        QVERIFY(openPanel());
        item("previewButton")->forceActiveFocus(Qt::TabFocusReason);
        QStringList reached;
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(m_window, Qt::Key_Tab);
            reached << m_window->activeFocusItem()->objectName();
        }
        QCOMPARE(reached.join(QLatin1Char(' ')),
            QStringLiteral("checkLiveButton copyChangesButton closeReviewButton changesTab "
                           "testSetTab resultsTab"));
    }

    // The changes follow typing without a request; "Check live" finds what
    // another operator published and the changes turn to it, the workspace
    // untouched; "Reload pack" makes that the draft and nothing is left.
    void changesFollowTheDraftAndLive()
    {
        QVERIFY(open(m_standIn.url()));
        QVERIFY(openPanel());
        const QString v1 = m_live.version;
        QTRY_COMPARE(text("reviewChangesText"),
            QStringLiteral("Nothing to publish: the draft is the same as live ") + v1
                + QLatin1Char('.'));
        QCOMPARE(count("changesList"), 0);

        const int asked = m_standIn.requestCount();
        type(item("voiceEditor"), QStringLiteral(" Selalu ramah"));
        // Keys arrive slower than the comparisons on a slow build: wait for the
        // one made after the last key.
        const auto shown = [this] {
            if (count("changesList") != 1)
                return QString();
            const bool words = inRow("changesList", 0, "changeWords")->isVisible();
            return rowText("changesList", 0, words ? "changeWords" : "changeAfter");
        };
        QTRY_VERIFY2(shown().contains(QLatin1String("Selalu ramah")), qPrintable(shown()));
        QCOMPARE(m_standIn.requestCount(), asked);
        QCOMPARE(
            text("reviewChangesText"), QStringLiteral("1 change to publish against live ") + v1);
        const QString label = rowText("changesList", 0, "changeLabel");
        QVERIFY2(label.contains(QLatin1String("Voice")), qPrintable(label));
        const bool words = inRow("changesList", 0, "changeWords")->isVisible();
        const QString shownChange = shown();
        // An insertion reads as one without colour: bracketed on screen, named aloud.
        if (words) {
            QVERIFY2(shownChange.contains(QLatin1String("{+")), qPrintable(shownChange));
            const QString spoken
                = QAccessible::queryAccessibleInterface(inRow("changesList", 0, "changeWords"))
                      ->text(QAccessible::Name);
            QVERIFY2(
                spoken.contains(QStringLiteral("added: “")) && !spoken.contains(QLatin1Char('<')),
                qPrintable(spoken));
        }

        // Another operator publishes: only a check of live finds out.
        const QString status = m_workspace->status();
        QSignalSpy busy(m_workspace, &VoridIzid::busyChanged);
        QSignalSpy draft(m_workspace, &VoridIzid::packChanged);
        const CapabilityPack before = m_live;
        for (int moved = 0; moved < 2; ++moved) {
            if (moved) {
                m_live.version = QStringLiteral("v-elsewhere");
                m_live.modules.guardrails.confirmCopy = QStringLiteral("Balas \"ya\" dulu, Kak.");
            }
            press("checkLiveButton");
            QTRY_VERIFY(text("reviewLiveText").startsWith(QLatin1String("Live has moved")) == moved
                && text("reviewLiveText").contains(m_live.version));
            QVERIFY2(text("reviewLiveText").contains(v1), qPrintable(text("reviewLiveText")));
        }
        QTRY_VERIFY(text("reviewChangesText").endsWith(QLatin1String("v-elsewhere")));
        QStringList labels;
        for (int row = 0; row < count("changesList"); ++row)
            labels << rowText("changesList", row, "changeLabel");
        QVERIFY2(labels.join(QLatin1Char('|')).contains(QLatin1String("Confirmation copy")),
            qPrintable(labels.join(QLatin1Char('|'))));
        QCOMPARE(busy.size(), 0);
        QCOMPARE(draft.size(), 0);
        QCOMPARE(m_workspace->status(), status);

        // Copied for a ticket: every label the panel shows is in the Markdown.
        press("copyChangesButton");
        QCOMPARE(text("reviewCopyText"), QStringLiteral("Changes copied as Markdown."));
        for (const QString &shownLabel : labels)
            QVERIFY(QGuiApplication::clipboard()->text().contains(
                shownLabel.section(QStringLiteral(" ("), 0, 0)));

        press("reloadButton");
        QTRY_VERIFY(text("reviewChangesText").startsWith(QLatin1String("Nothing to publish")));
        QVERIFY(text("reviewLiveText").isEmpty());
        m_live = before;
    }

    // Two messages under the draft and under live, side by side: the draft's
    // long reply fails its checks, the broken message shows its error on its
    // row, and the workspace never notices; the operator publishes meanwhile,
    // after which the results are marked as made under an earlier draft.
    void runSideBySide()
    {
        QVERIFY(open(m_service->baseUrl()));
        QVERIFY(openPanel());
        press("testSetTab");
        QCOMPARE(count("testSetList"), 1);
        QCOMPARE(rowText("testSetList", 0, "testMessageField"), m_workspace->previewMessage());
        press("addMessageButton");
        QTRY_COMPARE(count("testSetList"), 2);
        type(inRow("testSetList", 1, "testMessageField"), QStringLiteral("Tiket rusak"));
        type(item("voiceEditor"), QStringLiteral(" DRAFTMARK"));

        const QString status = m_workspace->status();
        QSignalSpy busy(m_workspace, &VoridIzid::busyChanged);
        QSignalSpy reply(m_workspace, &VoridIzid::previewReplyChanged);
        QSignalSpy source(m_workspace, &VoridIzid::sourceLabelChanged);
        m_modelDelay = 300ms;
        press("runButton");
        QTRY_VERIFY(m_review->running());
        QCOMPARE(text("resultsTab"), QStringLiteral("Results"));
        QVERIFY(item("publishButton")->isEnabled());
        QTRY_COMPARE(text("runProgressText"), QStringLiteral("2 of 2"));
        QVERIFY(!m_review->running());

        QCOMPARE(rowText("resultsList", 0, "resultMessage"), m_workspace->previewMessage());
        QCOMPARE(rowText("resultsList", 0, "draftReplySource"), QStringLiteral("Preview: mlx"));
        QCOMPARE(rowText("resultsList", 0, "liveReplySource"), QStringLiteral("Preview: mlx"));
        const QString failed = rowText("resultsList", 0, "draftReplyChecks");
        QVERIFY2(
            failed.startsWith(QStringLiteral("✗ Fails: ")) && failed.contains(QLatin1String("120")),
            qPrintable(failed));
        QCOMPARE(
            rowText("resultsList", 0, "liveReplyChecks"), QStringLiteral("✓ Passes the checks"));
        QCOMPARE(rowText("resultsList", 0, "liveReplyText"), QStringLiteral("Halo Kak!"));
        for (const char *side : {"draftReplyText", "liveReplyText"})
            QVERIFY2(rowText("resultsList", 1, side).contains(QLatin1String("model broke")),
                qPrintable(rowText("resultsList", 1, side)));
        QVERIFY(!text("runSummaryText").isEmpty());
        QCOMPARE(busy.size() + reply.size() + source.size(), 0);
        QCOMPARE(m_workspace->status(), status);
        QVERIFY(!shown("resultsOutdatedText"));

        // Publishing while a run goes on: both finish, and the results now
        // belong to an earlier draft.
        press("runButton");
        QTRY_VERIFY(m_review->running());
        press("publishButton");
        QTRY_COMPARE(m_workspace->status(), QStringLiteral("Live Tavi now v2"));
        QTRY_COMPARE(text("runProgressText"), QStringLiteral("2 of 2"));
        QTRY_VERIFY(shown("resultsOutdatedText"));
        QTRY_COMPARE(text("reviewChangesText"),
            QStringLiteral("Nothing to publish: the draft is the same as live v2."));
        QCOMPARE(text("resultsOutdatedText"),
            QStringLiteral("Made under an earlier draft: the draft has changed since this run."));
        const QString screenshots = qEnvironmentVariable("TAVI_WINDOW_SCREENSHOTS");
        if (!screenshots.isEmpty()) {
            m_window->grabWindow().save(screenshots + QStringLiteral("/review-panel.png"));
            m_window->resize(m_window->minimumSize());
            QTest::qWait(100);
            m_window->grabWindow().save(screenshots + QStringLiteral("/review-panel-minimum.png"));
        }
        press("copyResultsButton");
        QVERIFY(QGuiApplication::clipboard()->text().contains(QLatin1String("Tiket rusak")));

        // Cancel stops at once and keeps what was done.
        m_modelDelay = 5000ms;
        press("runButton");
        QTRY_VERIFY(m_review->running());
        press("cancelRunButton");
        QVERIFY(!m_review->running());
        QCOMPARE(text("runProgressText"), QStringLiteral("Cancelled: 0 of 2 done"));
        QCOMPARE(rowText("resultsList", 0, "draftReplyText"), QStringLiteral("Not run"));

        // What a rollback returns is live again, as far as the window knows.
        type(item("voiceEditor"), QStringLiteral("!"));
        QTRY_VERIFY(text("reviewChangesText").startsWith(QLatin1String("1 change")));
        press("rollbackButton");
        QTRY_COMPARE(text("reviewChangesText"),
            QStringLiteral("Nothing to publish: the draft is the same as live v1."));
    }

    // The set is kept per service: a missing file starts from the preview
    // message, an unreadable one is set aside with a notice, a large one loads
    // and scrolls; every edit reaches the file, the token never does.
    void testSetFile_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("messages");
        QTest::newRow("none") << QByteArray() << 1;
        QTest::newRow("unreadable") << QByteArray("{\"messages\": [\"Halo\"") << 1;
        QStringList many;
        for (int i = 1; i <= 1000; ++i)
            many << QStringLiteral("Pesan nomor %1").arg(i);
        QTest::newRow("1,000 messages") << TestSet::toJson(many) << 1000;
    }
    void testSetFile()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, messages);
        const QString path = TestSet::storePath(m_service->baseUrl());
        if (!file.isEmpty()) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
        }
        QVERIFY(open(m_service->baseUrl()));
        const QString token = QStringLiteral("s3cret-token");
        m_workspace->setOperatorToken(token);
        QVERIFY(openPanel());
        press("testSetTab");
        QCOMPARE(count("testSetList"), messages);
        const bool unreadable = file.startsWith("{\"messages\": [\"Halo\"");
        QCOMPARE(shown("testSetText"), unreadable);
        if (unreadable) {
            QVERIFY(!text("testSetText").isEmpty());
            QCOMPARE(rowText("testSetList", 0, "testMessageField"), m_workspace->previewMessage());
            QStringList aside = QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files);
            aside.removeAll(QFileInfo(path).fileName());
            QCOMPARE(aside.size(), 1);
            QFile kept(QFileInfo(path).absolutePath() + QLatin1Char('/') + aside[0]);
            QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == file);
        }
        const int last = messages - 1;
        QCOMPARE(rowText("testSetList", last, "testMessageField"),
            messages == 1000 ? QStringLiteral("Pesan nomor 1000") : m_workspace->previewMessage());

        // Edits through the rows' own buttons: add, type, move up, remove the first.
        press("addMessageButton");
        QTRY_COMPARE(count("testSetList"), messages + 1);
        type(inRow("testSetList", messages, "testMessageField"), QStringLiteral("Baru"));
        press(inRow("testSetList", messages, "moveMessageUpButton"));
        QTRY_COMPARE(rowText("testSetList", last, "testMessageField"), QStringLiteral("Baru"));
        press(inRow("testSetList", messages, "removeMessageButton"));
        QTRY_COMPARE(count("testSetList"), messages);
        QStringList expected = m_review->messages();
        QCOMPARE(expected.value(last), QStringLiteral("Baru"));
        QTRY_COMPARE(TestSet::load(path).messages, expected);
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly) && !saved.readAll().contains(token.toUtf8()));
    }

    // Replies of 2,000 words show their start until asked; the window closing
    // in the middle of a run takes the run with it.
    void longRepliesAndClosingDuringARun()
    {
        m_longAnswer = words(2000, QStringLiteral("panjang"));
        QVERIFY(open(m_service->baseUrl()));
        QVERIFY(openPanel());
        press("runButton");
        QTRY_COMPARE(text("runProgressText"), QStringLiteral("1 of 1"));
        QVERIFY(rowText("resultsList", 0, "draftReplyText").size() < 1000);
        QCOMPARE(rowText("resultsList", 0, "showWholeRepliesButton"),
            QStringLiteral("Show whole replies"));
        press(inRow("resultsList", 0, "showWholeRepliesButton"));
        QTRY_COMPARE(rowText("resultsList", 0, "draftReplyText"), m_longAnswer);

        m_modelHangs = true;
        for (int i = 0; i < 3; ++i)
            m_review->addMessage(QStringLiteral("Pesan %1").arg(i));
        const int asked = m_model->http().requestCount();
        press("runButton");
        QTRY_VERIFY(m_model->http().requestCount() > asked && m_review->running());
        m_engine.reset();
        QTest::qWait(100);
    }
};

QTEST_MAIN(ReviewPanelTest)
#include "test_review_panel.moc"
