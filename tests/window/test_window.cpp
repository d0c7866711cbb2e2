// The window as the operator meets it: the real QML offscreen, bound to a real
// workspace that talks HTTP to the reference pack service or to a scripted
// stand-in on loopback. Items are found by their object names.

#include "LanguageModel.h"
#include "PackServiceProcess.h"
#include "ScriptedHttpServer.h"
#include "ScriptedModelServer.h"
#include "SparkleUpdaterController.h"
#include "TaviCoach.h"
#include "UpdaterUserDriver.h"
#include "VelunorApp.h"
#include "VoridIzid.h"

#include <QAccessible>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

QStringList qmlWarnings;
QtMessageHandler defaultHandler = nullptr;

void recordQmlWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QLatin1String category(context.category ? context.category : "");
    if (type != QtDebugMsg && type != QtInfoMsg
        && (category.startsWith(QLatin1String("qml")) || category.startsWith(QLatin1String("js"))
            || message.contains(QLatin1String(".qml:"))))
        qmlWarnings.append(message);
    defaultHandler(type, context, message);
}

// A pack service answering the seed pack numbered by the request (in its version
// and its voice) after `delay`; it fails with 500 while `failing` and never
// answers while `hanging`.
struct StandIn
{
    StandIn()
    {
        QFile file(PackServiceProcess::defaultSeedPath());
        if (!file.open(QIODevice::ReadOnly) || !http.listen())
            qFatal("cannot serve the seed pack");
        http.setHandler([this, seed = file.readAll()](const ScriptedRequest &request) {
            if (hanging)
                return ScriptedResponse::hang();
            if (failing)
                return ScriptedResponse::json(500, R"({"error":"down"})").withDelay(delay);
            if (request.target.endsWith("/preview"))
                return ScriptedResponse::json(200, R"({"reply":{"text":")" + reply + "\"}}")
                    .withDelay(delay);
            CapabilityPack pack = CapabilityPack::fromJson(seed);
            pack.version = QStringLiteral("v%1").arg(http.requestCount());
            pack.modules.persona.voice = QStringLiteral("Voice %1").arg(http.requestCount());
            const QJsonObject envelope {{QStringLiteral("pack"), pack.toJsonObject()}};
            return ScriptedResponse::json(200, QJsonDocument(envelope).toJson()).withDelay(delay);
        });
    }

    ScriptedHttpServer http;
    std::chrono::milliseconds delay {0};
    bool failing = false;
    bool hanging = false;
    QByteArray reply = "Halo Kak!";
};

// WCAG contrast of `text` (with its alpha) laid over the opaque `background`.
double contrast(const QColor &text, const QColor &background)
{
    const auto luminance = [&](const QColor &c, double a) {
        const auto channel = [&](double v, double under, double weight) {
            v = v * a + under * (1 - a);
            return weight * (v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
        };
        return 0.05 + channel(c.redF(), background.redF(), 0.2126)
            + channel(c.greenF(), background.greenF(), 0.7152)
            + channel(c.blueF(), background.blueF(), 0.0722);
    };
    const double x = luminance(text, text.alphaF()), y = luminance(background, 1);
    return std::max(x, y) / std::min(x, y);
}

// How a button is pressed, besides the keys that press a focused button.
enum Way { ScreenReader = 0, Pointer = 1 };

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private:
    VelunorApp m_app;
    std::unique_ptr<PackServiceProcess> m_service;
    std::unique_ptr<ScriptedModelServer> m_model;
    std::unique_ptr<StandIn> m_standIn;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    VoridIzid *m_workspace = nullptr;
    QPalette m_lightPalette;

    // Opens the window on the stand-in unless told otherwise, active (keys go to
    // the active window only), and waits for its appearance load to end.
    bool open(QString base = {}, bool waitForLoad = true)
    {
        qputenv("TAVI_API_BASE", (base.isEmpty() ? standInUrl() : base).toUtf8());
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_window = m_app.openWindow(*m_engine);
        if (!m_window || !QTest::qWaitForWindowExposed(m_window))
            return false;
        m_window->requestActivate();
        m_workspace = m_window->findChild<VoridIzid *>(QStringLiteral("workspace"));
        return QTest::qWaitForWindowActive(m_window) && m_workspace && (!waitForLoad || idle());
    }
    bool idle()
    {
        return QTest::qWaitFor([this] { return !m_workspace->busy(); }, 10000);
    }
    QString standInUrl() const { return m_standIn->http.url().toString(); }

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
    void focus(const char *name)
    {
        // The updater's dialog may have taken the activation; keys go to the active window.
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        item(name)->forceActiveFocus(Qt::TabFocusReason);
    }
    // Presses a button the way a screen reader, the pointer or a key (`way`) would.
    void press(const char *name, int way = ScreenReader)
    {
        QQuickItem *button = item(name);
        if (way == ScreenReader)
            return QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
                QAccessibleActionInterface::pressAction());
        focus(name);
        if (way == Pointer)
            QTest::mouseClick(m_window, Qt::LeftButton, {},
                button->mapToScene(button->boundingRect().center()).toPoint());
        else
            QTest::keyClick(m_window, Qt::Key(way));
    }
    // Types into a field at `position`, a key at a time.
    void type(const char *name, int position, const QString &typed)
    {
        focus(name);
        item(name)->setProperty("cursorPosition", position);
        for (QChar c : typed)
            QTest::keyClick(m_window, c.toLatin1());
    }

private Q_SLOTS:
    void initTestCase()
    {
        defaultHandler = qInstallMessageHandler(recordQmlWarnings);
        m_lightPalette = QGuiApplication::palette();
        m_service = std::make_unique<PackServiceProcess>();
        QVERIFY2(m_service->start(), qPrintable(m_service->output()));
        m_model = std::make_unique<ScriptedModelServer>();
    }
    void init()
    {
        m_standIn = std::make_unique<StandIn>();
        // Coach and preview go to the service unless a test makes the model available.
        SystemLanguageModel::defaultModel().configure(
            m_model->baseUrl(), m_model->modelName(), false);
    }
    void cleanup()
    {
        m_engine.reset();
        m_standIn.reset();
        QTest::qWait(20);
        QGuiApplication::setPalette(m_lightPalette);
        QVERIFY2(qmlWarnings.isEmpty(), qPrintable(qmlWarnings.join(QLatin1Char('\n'))));
    }
    void cleanupTestCase() { qInstallMessageHandler(defaultHandler); }

    void windowLayoutAndMenus()
    {
        QVERIFY(open());
        QCOMPARE(m_window->size(), QSize(1100, 760));
        const auto bar = [this](const char *name) {
            return m_window->property(name).value<QQuickItem *>()->height();
        };
        QCOMPARE(m_window->minimumSize(), QSize(880, int(640 + bar("menuBar") + bar("header"))));
        // Half the row each, the left column kept between 360 and 480, 28 between.
        QQuickItem *left = item("leftColumn"), *right = item("rightColumn");
        for (const int width : {1600, 880}) {
            m_window->resize(width, m_window->minimumHeight());
            QTRY_COMPARE(left->parentItem()->width(), double(width - 40));
            QCOMPARE(left->width(), width == 880 ? 406.0 : 480.0);
            QCOMPARE(right->x() - left->x() - left->width(), 28.0);
            QCOMPARE(right->width(), width - 40 - 28 - left->width());
            QVERIFY(
                item("voiceEditor")->height() >= 88 && item("instructionEditor")->height() >= 72);
        }
        // Content taller than the window scrolls to the control that takes the focus.
        auto *flickable = item("workspaceScroll")->property("contentItem").value<QQuickItem *>();
        const double overflow
            = flickable->property("contentHeight").toDouble() - flickable->height();
        QVERIFY(overflow > 0);
        for (const char *name : {"apiBaseField", "rollbackButton"}) {
            flickable->setProperty("contentY", name[0] == 'a' ? overflow : 0.0);
            focus(name);
            const auto box
                = [&] { return item(name)->mapRectToItem(flickable, item(name)->boundingRect()); };
            QTRY_VERIFY(box().top() >= 0 && box().bottom() <= flickable->height());
        }

        // Each time the window is shown it loads again.
        QCOMPARE(text("statusText"), QStringLiteral("Loaded v1"));
        m_window->hide();
        m_window->show();
        QVERIFY(m_standIn->http.waitForRequests(2) && idle());
        QCOMPARE(text("statusText"), QStringLiteral("Loaded v2"));

        // A screen reader opens About, closes it, and quits.
        QObject *menu = item("aboutMenuItem")->property("menu").value<QObject *>();
        QObject *about = item<QObject>("aboutDialog");
        press("menuBarItem");
        QTRY_VERIFY(menu->property("visible").toBool());
        press("aboutMenuItem");
        QTRY_VERIFY(about->property("visible").toBool());
        press("aboutOkButton");
        QTRY_VERIFY(!about->property("visible").toBool());
        QObject::disconnect(m_engine.get(), &QQmlEngine::quit, nullptr, nullptr);
        QSignalSpy quit(m_engine.get(), &QQmlEngine::quit);
        press("quitMenuItem");
        QTRY_COMPARE(quit.size(), 1);

        // An update switch shows what the controller reads back, whichever side changes.
        SparkleUpdaterController &controller = SparkleUpdaterController::shared();
        const bool checks = controller.automaticallyChecksForUpdates();
        press("autoCheckToggle", Qt::Key_Space);
        QCOMPARE(controller.automaticallyChecksForUpdates(), !checks);
        QAccessible::queryAccessibleInterface(item("autoCheckToggle"))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(controller.automaticallyChecksForUpdates(), checks);
        controller.setAutomaticallyChecksForUpdates(!checks);
        QCOMPARE(item("autoCheckToggle")->property("checked").toBool(), !checks);
        controller.setAutomaticallyChecksForUpdates(checks);
    }

    void enabledStates_data()
    {
        QTest::addColumn<bool>("pack");
        QTest::addColumn<bool>("busy");
        for (const bool busy : {false, true}) {
            for (const bool pack : {false, true})
                QTest::addRow("%s%s pack", busy ? "busy, " : "", pack ? "a" : "no") << pack << busy;
        }
    }
    void enabledStates()
    {
        QFETCH(bool, pack);
        QFETCH(bool, busy);
        m_standIn->failing = !pack;
        m_standIn->hanging = busy && !pack;
        QVERIFY(open({}, !m_standIn->hanging));
        QVERIFY(m_standIn->http.waitForRequests(1));
        if (busy && pack) {
            m_standIn->hanging = true;
            press("reloadButton", Pointer);
            QVERIFY(m_standIn->http.waitForRequests(2));
        }
        QTRY_COMPARE(m_workspace->busy(), busy);
        QCOMPARE(m_workspace->hasPack(), pack);

        const QByteArrayList needIdle {"reloadButton", "rollbackButton"};
        const QByteArrayList needPack {"coachButton", "previewButton", "publishButton"};
        const QByteArrayList always {"checkForUpdatesToolbarButton", "checkForUpdatesCardButton",
            "checkForUpdatesMenuItem", "autoCheckToggle", "autoDownloadToggle", "apiBaseField",
            "operatorTokenField", "voiceEditor", "ctaField", "instructionEditor",
            "previewMessageField"};
        for (const QByteArray &name : needIdle + needPack + always) {
            const bool enabled
                = always.contains(name) || (!busy && (pack || needIdle.contains(name)));
            QVERIFY2(item(name.constData())->isEnabled() == enabled, name.constData());
        }
        QCOMPARE(text("coachButton"),
            busy ? QStringLiteral("Working…") : QStringLiteral("Rewrite with Apple Intelligence"));
        QCOMPARE(shown("liveBadge"), pack);
        QCOMPARE(shown("editor"), pack);

        // A disabled button ignores a screen reader's press (the bridge calls it enabled).
        const QString status = m_workspace->status();
        const int asked = m_standIn->http.requestCount();
        for (const QByteArray &name : needIdle + needPack) {
            if (!item(name.constData())->isEnabled())
                press(name.constData());
        }
        QTest::qWait(50);
        QCOMPARE(m_standIn->http.requestCount(), asked);
        QCOMPARE(m_workspace->status(), status);

        // The three update checks reach the one controller, busy or not, and each
        // answers in the updater's own dialog (this build has no key: an error),
        // which is closed again before the next.
        QSignalSpy checks(
            &SparkleUpdaterController::shared(), &SparkleUpdaterController::checkStarted);
        UpdaterUserDriver *driver = SparkleUpdaterController::shared().userDriver();
        const std::pair<const char *, int> ways[] = {{"checkForUpdatesToolbarButton", ScreenReader},
            {"checkForUpdatesCardButton", Qt::Key_Space},
            {"checkForUpdatesMenuItem", ScreenReader}};
        for (const auto &[name, way] : ways) {
            press(name, way);
            QTRY_COMPARE(driver->stage(), UpdaterUserDriver::Stage::Failed);
            driver->dismiss();
            QCOMPARE(driver->stage(), UpdaterUserDriver::Stage::Hidden);
        }
        QCOMPARE(checks.size(), 3);
        QCOMPARE(m_workspace->status(), status);
    }

    // Each button starts its operation, however it is pressed; voice edits typed
    // meanwhile give way to a pack that replaces the draft, and stay otherwise.
    void operations_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<int>("way");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<QByteArray>("request");
        const auto row = [](const char *button, int way, bool fails, const char *request) {
            QTest::addRow("%s%s", fails ? "failed " : "", request)
                << QByteArray(button) << way << fails << QByteArray(request);
        };
        row("reloadButton", ScreenReader, false, "GET current");
        row("publishButton", Qt::Key_Space, false, "POST publish");
        row("rollbackButton", Qt::Key_Return, false, "POST rollback");
        row("coachButton", Pointer, false, "POST coach");
        row("previewButton", Qt::Key_Enter, false, "POST preview");
        row("reloadButton", ScreenReader, true, "GET current");
        row("publishButton", ScreenReader, true, "POST publish");
    }
    void operations()
    {
        QFETCH(QByteArray, button);
        QFETCH(int, way);
        QFETCH(bool, fails);
        QFETCH(QByteArray, request);
        QVERIFY(open());
        m_standIn->delay = 300ms;
        m_standIn->failing = fails;
        const QString before = text("voiceEditor");
        press(button.constData(), way);
        QVERIFY(m_workspace->busy());
        type("voiceEditor", int(before.size()), QStringLiteral("!!"));
        QVERIFY(idle());
        const ScriptedRequest last = m_standIn->http.lastRequest();
        QCOMPARE(last.method + ' ' + last.target, request.replace(" ", " /api/capability-packs/"));
        const bool replaced = !fails && button != "previewButton";
        QCOMPARE(text("voiceEditor"),
            replaced ? QStringLiteral("Voice 2") : before + QStringLiteral("!!"));
        QCOMPARE(m_workspace->voice(), text("voiceEditor"));
    }

    // Typing changes that one field of the pack at once, keeps the caret and asks
    // nothing of the service; nor does Return in a single-line field. The token is
    // never readable: not by a screen reader, not through the clipboard.
    void editingAndKeyboard()
    {
        QVERIFY(open());
        CapabilityPack expected = *m_workspace->pack();
        const QString status = m_workspace->status();
        QSignalSpy busy(m_workspace, &VoridIzid::busyChanged);
        for (const char *name : {"voiceEditor", "ctaField"}) {
            type(name, 3, QStringLiteral("xyz"));
            (name[0] == 'c' ? expected.modules.replyRules.cta : expected.modules.persona.voice)
                .insert(3, QStringLiteral("xyz"));
            QVERIFY2(*m_workspace->pack() == expected, name);
            QCOMPARE(item(name)->property("cursorPosition").toInt(), 6);
        }
        for (const char *name :
            {"apiBaseField", "operatorTokenField", "ctaField", "previewMessageField"}) {
            focus(name);
            QTest::keyClick(m_window, Qt::Key_Return);
            QTest::keyClick(m_window, Qt::Key_Enter);
        }
        const QString token = QStringLiteral("s3cret-token");
        type("operatorTokenField", 0, token);
        QAccessibleInterface *field
            = QAccessible::queryAccessibleInterface(item("operatorTokenField"));
        QCOMPARE(field->text(QAccessible::Name), QStringLiteral("Operator token"));
        QVERIFY(field->state().passwordEdit);
        const QString dots = field->text(QAccessible::Value);
        QVERIFY(dots.size() == token.size() && !dots.contains(QLatin1Char('s')));
        QCOMPARE(field->textInterface()->text(0, field->textInterface()->characterCount()), dots);
        QCOMPARE(
            QAccessible::queryAccessibleInterface(item("apiBaseField"))->text(QAccessible::Value),
            standInUrl());
        // Copy and cut leave the clipboard alone; the same keys do copy a plain field.
        for (const char *name : {"operatorTokenField", "apiBaseField"}) {
            QGuiApplication::clipboard()->setText(QStringLiteral("before"));
            focus(name);
            for (auto key : {QKeySequence::SelectAll, QKeySequence::Copy, QKeySequence::Cut})
                QTest::keySequence(m_window, key);
            QCOMPARE(
                QGuiApplication::clipboard()->text() == QLatin1String("before"), name[0] == 'o');
        }
        QCOMPARE(m_workspace->operatorToken(), token);
        QTest::qWait(50);
        QCOMPARE(busy.size(), 0);
        QCOMPARE(m_standIn->http.requestCount(), 1);
        QCOMPARE(m_workspace->status(), status);

        // Tab goes through the left column, then the right one, and leaves the editors.
        focus("apiBaseField");
        QStringList reached;
        while (reached.size() < 12) {
            QTest::keyClick(m_window, Qt::Key_Tab);
            reached << m_window->activeFocusItem()->objectName();
        }
        QCOMPARE(reached.join(QLatin1Char(' ')),
            QStringLiteral("operatorTokenField autoCheckToggle autoDownloadToggle "
                           "checkForUpdatesCardButton voiceEditor ctaField publishButton "
                           "rollbackButton instructionEditor coachButton previewMessageField "
                           "previewButton"));

        // The caption and the reply show only with text, the caption above.
        QVERIFY(!shown("sourceLabel") && !shown("previewReplyText"));
        press("previewButton");
        QTRY_VERIFY(shown("previewReplyText") && shown("sourceLabel"));
        QCOMPARE(text("previewReplyText"), QStringLiteral("Halo Kak!"));
        QTRY_VERIFY(item("sourceLabel")->y() < item("previewReplyText")->y());
        m_standIn->reply = "";
        press("previewButton");
        QTRY_VERIFY(!shown("previewReplyText") && shown("sourceLabel"));
        // An empty status line takes no room: the column ends with the publish row.
        const double withStatus = item("leftColumn")->implicitHeight();
        const double line = item("statusText")->height();
        item("statusText")->setProperty("text", QString());
        QVERIFY(!shown("statusText"));
        QTRY_COMPARE(item("leftColumn")->implicitHeight(), withStatus - line - 16);
    }

    // Green exactly while the model is available, with the sentence of the moment;
    // every dimmed or tinted text stays legible, on a light and on a dark palette.
    void coloursFollowThePalette_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }
    void coloursFollowThePalette()
    {
        QFETCH(bool, dark);
        if (dark) {
            QPalette palette(QColor(0x3a, 0x3a, 0x3a), QColor(0x2a, 0x2a, 0x2a));
            for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                palette.setColor(role, QColor(0xee, 0xee, 0xee));
            palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
            QGuiApplication::setPalette(palette);
        }
        m_model->makeDefault();
        QVERIFY(open(m_service->baseUrl().toString()));
        const QColor background = m_window->color();
        QCOMPARE(background.lightnessF() < 0.5, dark);
        // A preview from the model on this machine, so that every part is on screen.
        m_model->setAnswer(QStringLiteral("Halo Kak! Tiket ke Bangkok tanggal 5 Oktober ada "
                                          "beberapa pilihan. Mau saya cek jadwalnya?"));
        press("previewButton");
        QTRY_VERIFY(shown("previewReplyText") && shown("sourceLabel"));
        const QString shots = qEnvironmentVariable("TAVI_WINDOW_SCREENSHOTS");
        if (!shots.isEmpty()) {
            const QString name = shots + QLatin1String(dark ? "/window-dark" : "/window-light");
            m_window->grabWindow().save(name + QLatin1String(".png"));
            const QSize size = m_window->size();
            m_window->resize(m_window->minimumSize());
            QTest::qWait(100);
            m_window->grabWindow().save(name + QLatin1String("-minimum.png"));
            m_window->resize(size);
        }

        const auto colour = [this](const char *name, const char *part = "") {
            const QVariant of
                = *part ? item(name)->property(part) : QVariant::fromValue(item(name));
            return of.value<QObject *>()->property("color").value<QColor>();
        };
        const QColor green = colour("availabilityText");
        QVERIFY(green.green() > green.red() && green.green() > green.blue());
        QVERIFY(contrast(green, background) >= 4.5);
        QVERIFY(contrast(colour("statusText"), background) >= 4.5);
        // The badge's capsule: orange at 15% over the window.
        const QColor capsule = QColor::fromRgbF(float(0.15 + 0.85 * background.redF()),
            float(0.0876 + 0.85 * background.greenF()), float(0.85 * background.blueF()));
        QVERIFY(contrast(colour("liveBadge"), capsule) >= 4.5);
        QVERIFY(contrast(colour("coachButton", "contentItem"), colour("coachButton", "background"))
            >= 4.5);
        QCOMPARE(text("availabilityText"), TaviCoach::appleIntelligenceStatus());
        SystemLanguageModel::defaultModel().configure(
            m_model->baseUrl(), m_model->modelName(), false);
        QCOMPARE(text("availabilityText"), TaviCoach::appleIntelligenceStatus());
        QCOMPARE(colour("availabilityText"), colour("statusText"));
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
