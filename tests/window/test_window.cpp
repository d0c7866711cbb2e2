// The window as the operator meets it: the real QML offscreen, bound to a real
// workspace that talks HTTP to the reference pack service or to a scripted
// stand-in on loopback. Items are found by their object names.

#include "Appcast.h"
#include "BundleInfo.h"
#include "LanguageModel.h"
#include "PackServiceProcess.h"
#include "QmlWarnings.h"
#include "ScriptedHttpServer.h"
#include "ScriptedModelServer.h"
#include "SparkleUpdaterController.h"
#include "TaviCoach.h"
#include "UpdaterUserDriver.h"
#include "VelunorApp.h"
#include "VoridIzid.h"

#include <QAccessible>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>

#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

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

// Visits the shown items under `item` in reading order (a column in its own
// order, a row from the left, anything else from the top down); `visit` says
// whether to look inside.
void walk(QQuickItem *item, const std::function<bool(QQuickItem *)> &visit)
{
    if (!item->isVisible() || !visit(item))
        return;
    QList<QQuickItem *> children = item->childItems();
    const bool row = item->inherits("QQuickRowLayout");
    if (row || !item->inherits("QQuickLayout")) {
        std::stable_sort(children.begin(), children.end(), [row](QQuickItem *a, QQuickItem *b) {
            return row ? a->x() < b->x() : a->y() < b->y();
        });
    }
    for (QQuickItem *child : children)
        walk(child, visit);
}

// What an operator reads: a label's or a button's text, a field's placeholder
// in brackets; the contents of multi-line editors are left out.
QStringList textsIn(QQuickItem *root)
{
    QStringList texts;
    walk(root, [&](QQuickItem *item) {
        if (item->inherits("QQuickTextField"))
            texts << u'[' + item->property("placeholderText").toString() + u']';
        else if (item->inherits("QQuickAbstractButton") || item->inherits("QQuickText"))
            texts << item->property("text").toString();
        else
            return !item->inherits("QQuickTextArea");
        return false;
    });
    return texts;
}

// Text cut short, a button narrower than its label, or a child of a row or
// column overlapping a sibling or sticking out of it.
QStringList clippedOrOverlapping(QQuickItem *root)
{
    QStringList faults;
    const auto name = [](QQuickItem *item) {
        return item->objectName() + u' ' + item->property("text").toString().left(30);
    };
    walk(root, [&](QQuickItem *item) {
        if ((item->inherits("QQuickText")
                && (item->property("truncated").toBool()
                    || item->property("contentWidth").toDouble() > item->width() + 1))
            || (item->inherits("QQuickAbstractButton")
                && item->implicitWidth() > item->width() + 1))
            faults << u"cut short: "_s + name(item);
        QList<QQuickItem *> shown;
        for (QQuickItem *child :
            item->inherits("QQuickLayout") ? item->childItems() : QList<QQuickItem *>()) {
            const QRectF box(child->position(), child->size());
            if (!child->isVisible())
                continue;
            if (box.right() > item->width() + 1)
                faults << u"sticks out: "_s + name(child);
            for (QQuickItem *before : shown) {
                if (box.adjusted(0.5, 0.5, -0.5, -0.5)
                        .intersects(QRectF(before->position(), before->size())))
                    faults << u"overlaps: "_s + name(child) + u" / "_s + name(before);
            }
            shown << child;
        }
        return true;
    });
    return faults;
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
    QFont m_font;

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
        m_font = QGuiApplication::font();
        QVariantMap info = BundleInfo::infoDictionary();
        info[u"CFBundleShortVersionString"_s] = u"1.4"_s;
        info[u"CFBundleVersion"_s] = u"27"_s;
        BundleInfo::overrideForTesting(info);
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
        QGuiApplication::setFont(m_font);
        QVERIFY2(qmlWarnings.isEmpty(), qPrintable(qmlWarnings.join(QLatin1Char('\n'))));
    }
    void cleanupTestCase() { qInstallMessageHandler(defaultHandler); }

    // Every fixed text of the window, its menu, the About dialog and the
    // updater's dialogs, read from the items that show them, in reading order.
    void screenTexts()
    {
        QVERIFY(open());
        const QString host = QUrl(BundleInfo::infoDictionary()[u"SUFeedURL"_s].toString()).host();
        QVERIFY(!host.isEmpty());
        QTRY_COMPARE(textsIn(m_window->contentItem()),
            QStringList({u"&Vuzev Tavi"_s, u"Check for Updates…"_s, u"Reload pack"_s,
                u"Review changes"_s, u"ZODE-016 · global voice pack"_s,
                u"Apple Intelligence drafts and previews on this device. Der Udez OV is the "
                "fallback. Publish hot-reloads live Tavi."_s,
                TaviCoach::appleIntelligenceStatus(), u"Live pack v1"_s, u"[API base]"_s,
                u"[Operator token]"_s, u"Updates"_s, u"Vuzev Tavi 1.4 (27)"_s,
                u"Check for updates automatically"_s, u"Download updates automatically"_s,
                u"Check for Updates…"_s,
                u"Signed Sparkle feed from "_s + host + u". Same Developer ID flow as Pellion."_s,
                u"This copy of Vuzev Tavi is not a self-contained install and does not update "
                "itself."_s,
                u"Persona voice"_s, u"CTA"_s, u"[CTA]"_s, u"Publish live"_s, u"Rollback"_s,
                u"Loaded v1"_s, u"Coach prompt"_s, u"Rewrite with Apple Intelligence"_s,
                u"On-device Tavi preview"_s, u"[Traveler message]"_s, u"Preview Tavi"_s}));
        // After a load a single-line field shows the start of its text.
        for (const char *name : {"apiBaseField", "ctaField", "previewMessageField"})
            QVERIFY2(item(name)->property("cursorPosition").toInt() == 0, name);

        // The menu opens from the keyboard; its items and their mnemonics.
        QObject *menu = item<QObject>("appMenu");
        QTest::keyClick(m_window, Qt::Key_F10);
        QTRY_VERIFY(menu->property("opened").toBool());
        QQuickItem *list = menu->property("contentItem").value<QQuickItem *>();
        QCOMPARE(textsIn(list->property("contentItem").value<QQuickItem *>()),
            QStringList({u"&About Vuzev Tavi"_s, u"&Check for Updates…"_s, u"&Review changes"_s,
                u"&Quit"_s}));
        QVERIFY(shown("quitMenuItemShortcut"));
        QCOMPARE(text("quitMenuItemShortcut"), u"Ctrl+Q"_s);
        QCOMPARE(text("reviewChangesMenuItemShortcut"), u"Ctrl+Shift+R"_s);
        QTest::keyClick(m_window, Qt::Key_A);
        QObject *about = item<QObject>("aboutDialog");
        QTRY_VERIFY(about->property("opened").toBool());
        QCOMPARE(textsIn(about->property("contentItem").value<QQuickItem *>()->parentItem()),
            QStringList({u"About Vuzev Tavi"_s, u"Vuzev Tavi"_s, u"Version 1.4 (27)"_s, u"OK"_s}));
        QTest::keyClick(m_window, Qt::Key_Escape);
        QTRY_VERIFY(!about->property("visible").toBool());

        // The updater's dialog in each of its stages.
        UpdaterUserDriver &driver = *SparkleUpdaterController::shared().userDriver();
        AppcastItem found;
        found.shortVersion = u"2.0"_s;
        found.version = u"28"_s;
        const std::pair<std::function<void()>, QStringList> stages[] = {
            {[&] { driver.askAutomaticChecks(); },
                {u"Check for updates automatically?"_s,
                    u"Should Vuzev Tavi automatically check for updates? You can always check "
                    "for updates manually from the menu."_s,
                    u"Don’t Check"_s, u"Check Automatically"_s}},
            {[&] { driver.showChecking(); }, {u"Checking for Updates…"_s, u"Cancel"_s}},
            {[&] { driver.showUpToDate(u"1.4"_s); },
                {u"You’re up to date!"_s, u"Vuzev Tavi 1.4 is the newest version available."_s,
                    u"OK"_s}},
            {[&] { driver.showUpdateFound(found, u"1.4"_s, {}); },
                {u"A new version of Vuzev Tavi is available!"_s,
                    u"Vuzev Tavi 2.0 (28) is available — you have 1.4."_s, u"Skip This Version"_s,
                    u"Remind Me Later"_s, u"Install Update"_s}},
            {[&] { driver.showDownloading(1, 2); }, {u"Downloading update…"_s, u"Cancel"_s}},
            {[&] { driver.showInstalling(); },
                {u"Installing update…"_s,
                    u"The update has been verified and is being installed."_s}},
            {[&] { driver.showInstalled(u"2.0"_s); },
                {u"Update installed"_s,
                    u"Vuzev Tavi 2.0 is installed and starts the next time you open it."_s,
                    u"Relaunch Now"_s, u"OK"_s}},
            {[&] { driver.showError(u"The feed could not be reached."_s); },
                {u"Update Error!"_s, u"The feed could not be reached."_s, u"OK"_s}},
        };
        QQuickWindow *dialog = nullptr;
        for (const auto &[show, texts] : stages) {
            show();
            for (QObject *root : m_engine->rootObjects()) {
                if (root->objectName() == u"updaterDialog")
                    dialog = qobject_cast<QQuickWindow *>(root);
            }
            QVERIFY(dialog && dialog->isVisible());
            QCOMPARE(dialog->title(), u"Software Update"_s);
            QCOMPARE(textsIn(dialog->contentItem()), texts);
        }
        // Escape answers the dialog as closing it would.
        dialog->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        QTest::keyClick(dialog, Qt::Key_Escape);
        QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Hidden);

        // Each time the window is shown it loads again.
        m_window->hide();
        m_window->show();
        QVERIFY(m_standIn->http.waitForRequests(2) && idle());
        QCOMPARE(text("statusText"), u"Loaded v2"_s);

        // Quit, from the menu as a screen reader chooses it.
        QObject::disconnect(m_engine.get(), &QQmlEngine::quit, nullptr, nullptr);
        QSignalSpy quit(m_engine.get(), &QQmlEngine::quit);
        press("menuBarItem");
        QTRY_VERIFY(menu->property("opened").toBool());
        press("quitMenuItem");
        QTRY_COMPARE(quit.size(), 1);
    }

    // Each switch writes its own setting, and shows what the controller reads
    // back, whichever side changed it.
    void updateSwitches_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("setting");
        QTest::newRow("checks") << QByteArray("autoCheckToggle")
                                << QByteArray("automaticallyChecksForUpdates");
        QTest::newRow("downloads")
            << QByteArray("autoDownloadToggle") << QByteArray("automaticallyDownloadsUpdates");
    }
    void updateSwitches()
    {
        QFETCH(QByteArray, name);
        QFETCH(QByteArray, setting);
        QVERIFY(open());
        SparkleUpdaterController &controller = SparkleUpdaterController::shared();
        const auto settings = [&] {
            return std::pair(controller.automaticallyChecksForUpdates(),
                controller.automaticallyDownloadsUpdates());
        };
        const auto before = settings();
        const bool value = controller.property(setting.constData()).toBool();
        auto expected = before;
        (setting.contains("Checks") ? expected.first : expected.second) = !value;
        press(name.constData(), Qt::Key_Space);
        QCOMPARE(settings(), expected);
        QAccessible::queryAccessibleInterface(item(name.constData()))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(settings(), before);
        for (const bool set : {!value, value}) {
            controller.setProperty(setting.constData(), set);
            QCOMPARE(item(name.constData())->property("checked").toBool(), set);
        }
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

        // The card's check reaches the one controller, busy or not, and is answered
        // in the updater's own dialog (this build has no key: an error).
        const QString status = m_workspace->status();
        QSignalSpy checks(
            &SparkleUpdaterController::shared(), &SparkleUpdaterController::checkStarted);
        UpdaterUserDriver *driver = SparkleUpdaterController::shared().userDriver();
        press("checkForUpdatesCardButton", Qt::Key_Space);
        QTRY_COMPARE(driver->stage(), UpdaterUserDriver::Stage::Failed);
        driver->dismiss();
        QCOMPARE(checks.size(), 1);
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
    // nothing of the service; nor does Return in a single-line field.
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
        const std::pair<const char *, const char *> fields[]
            = {{"apiBaseField", "apiBase"}, {"operatorTokenField", "operatorToken"},
                {"previewMessageField", "previewMessage"}, {"instructionEditor", "instruction"}};
        for (const auto &[name, field] : fields) {
            const QString before = m_workspace->property(field).toString();
            type(name, int(before.size()), u"xyz"_s);
            QCOMPARE(m_workspace->property(field).toString(), before + u"xyz"_s);
            QTest::keyClick(m_window, Qt::Key_Return);
            QTest::keyClick(m_window, Qt::Key_Enter);
        }
        QTest::qWait(50);
        QCOMPARE(busy.size(), 0);
        QCOMPARE(m_standIn->http.requestCount(), 1);
        QCOMPARE(m_workspace->status(), status);

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

    // Both palettes, at the desktop's font size and at 1.5 times it (in points,
    // and in pixels, where a font has no point size): every dimmed or tinted text
    // and every field's border stays legible, Tab goes through the controls in
    // reading order showing where it is, and at the minimum size nothing is cut
    // short or overlaps (the content scrolls instead).
    void lookAndKeys_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::addColumn<double>("scale");
        QTest::addColumn<bool>("pixels");
        QTest::newRow("light") << false << 1.0 << false;
        QTest::newRow("dark") << true << 1.0 << false;
        QTest::newRow("light-large") << false << 1.5 << false;
        QTest::newRow("dark-large-pixels") << true << 1.5 << true;
    }
    void lookAndKeys()
    {
        QFETCH(bool, dark);
        QFETCH(double, scale);
        QFETCH(bool, pixels);
        if (dark) {
            QPalette palette(QColor(0x3a, 0x3a, 0x3a), QColor(0x2a, 0x2a, 0x2a));
            for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
                palette.setColor(role, QColor(0xee, 0xee, 0xee));
            palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
            palette.setColor(QPalette::Highlight, QColor(0x2a, 0x82, 0xda));
            QGuiApplication::setPalette(palette);
        }
        QFont font = m_font;
        pixels ? font.setPixelSize(qRound(QFontInfo(m_font).pixelSize() * scale))
               : font.setPointSizeF(font.pointSizeF() * scale);
        QGuiApplication::setFont(font);
        const int basePixels = QFontInfo(font).pixelSize();
        m_model->makeDefault();
        QVERIFY(open(m_service->baseUrl().toString()));
        QCOMPARE(m_window->size(), QSize(1100, 760));
        const auto bar = [this](const char *name) {
            return m_window->property(name).value<QQuickItem *>()->height();
        };
        QCOMPARE(m_window->minimumSize(), QSize(880, int(640 + bar("menuBar") + bar("header"))));
        // Half the row each, the left column kept between 360 and 480, 28 between.
        const auto columns = [this](double left) {
            QQuickItem *leftColumn = item("leftColumn"), *right = item("rightColumn");
            QTRY_COMPARE(leftColumn->width(), left);
            QCOMPARE(right->x() - leftColumn->x() - left, 28.0);
            QCOMPARE(right->width(), m_window->width() - 40 - 28 - left);
        };
        const QColor background = m_window->color();
        QCOMPARE(background.lightnessF() < 0.5, dark);
        // A preview from the model on this machine, so that every part is on screen.
        m_model->setAnswer(QStringLiteral("Halo Kak! Tiket ke Bangkok tanggal 5 Oktober ada "
                                          "beberapa pilihan. Mau saya cek jadwalnya?"));
        press("previewButton");
        QTRY_VERIFY(shown("previewReplyText") && shown("sourceLabel"));

        // Each style keeps its size relative to the window's font.
        const std::pair<const char *, double> styles[]
            = {{"updatesVersionText", 0.85}, {"statusText", 0.9}, {"sourceLabel", 0.85}};
        for (const auto &[name, relative] : styles) {
            const double size = item(name)->property("font").value<QFont>().pixelSize();
            QVERIFY2(std::abs(size - basePixels * relative) <= 1, name);
        }

        const QString shots = qEnvironmentVariable("TAVI_WINDOW_SCREENSHOTS");
        const QString shot = shots + u"/window-"_s + QString::fromLatin1(QTest::currentDataTag());
        if (!shots.isEmpty())
            m_window->grabWindow().save(shot + u".png"_s);
        m_window->resize(m_window->minimumSize());
        QTest::qWait(100);
        if (!shots.isEmpty())
            m_window->grabWindow().save(shot + u"-minimum.png"_s);
        const QStringList faults = clippedOrOverlapping(m_window->contentItem());
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
        columns(406);
        QVERIFY(item("voiceEditor")->height() >= 88 && item("instructionEditor")->height() >= 72);
        // Content taller than the window (at the larger font) scrolls to the control
        // that takes the focus, up and down.
        auto *flickable = item("workspaceScroll")->property("contentItem").value<QQuickItem *>();
        const double overflow
            = flickable->property("contentHeight").toDouble() - flickable->height();
        for (const char *name : {"apiBaseField", "rollbackButton"}) {
            if (scale == 1)
                break;
            flickable->setProperty("contentY", name[0] == 'a' ? overflow : 0.0);
            const auto inView = [&] {
                const QRectF box = item(name)->mapRectToItem(
                    flickable, {0, 0, item(name)->width(), item(name)->height()});
                return box.top() >= 0 && box.bottom() <= flickable->height();
            };
            QVERIFY(!inView());
            focus(name);
            QTRY_VERIFY(inView());
        }

        const auto colour = [this](const char *name, const char *part = "") {
            QObject *object = item<QObject>(name);
            for (const QByteArray &step : QByteArray(part).split('.')) {
                if (!step.isEmpty())
                    object = object->property(step).value<QObject *>();
            }
            return object->property("color").value<QColor>();
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
        // A field's edge, the boundary of a component: 3:1.
        for (const char *name :
            {"apiBaseField", "operatorTokenField", "ctaField", "previewMessageField"})
            QVERIFY2(contrast(colour(name, "background.border"), background) >= 3, name);
        SystemLanguageModel::defaultModel().configure(
            m_model->baseUrl(), m_model->modelName(), false);
        QCOMPARE(text("availabilityText"), TaviCoach::appleIntelligenceStatus());
        QCOMPARE(colour("availabilityText"), colour("statusText"));

        // Tab from the toolbar through the left column, then the right one, and
        // round again; each stop looks different once it has the focus. Tall
        // enough that nothing scrolls, so the pictures compare.
        const QStringList order {u"checkForUpdatesToolbarButton"_s, u"reloadButton"_s,
            u"reviewChangesButton"_s, u"apiBaseField"_s, u"operatorTokenField"_s,
            u"autoCheckToggle"_s, u"autoDownloadToggle"_s, u"checkForUpdatesCardButton"_s,
            u"voiceEditor"_s, u"ctaField"_s, u"publishButton"_s, u"rollbackButton"_s,
            u"instructionEditor"_s, u"coachButton"_s, u"previewMessageField"_s, u"previewButton"_s,
            u"previewReplyText"_s, u"checkForUpdatesToolbarButton"_s};
        m_window->resize(1500, 1500);
        columns(480);
        focus("previewReplyText");
        QTest::qWait(100);
        QImage before = m_window->grabWindow();
        for (const QString &name : order) {
            QTest::keyClick(m_window, Qt::Key_Tab);
            QQuickItem *reached = m_window->activeFocusItem();
            QCOMPARE(reached->objectName(), name);
            const QImage after = m_window->grabWindow();
            // A text field's bounding rectangle is its text's; the frame is wider.
            const QRect box = reached->mapRectToScene({0, 0, reached->width(), reached->height()})
                                  .toAlignedRect()
                                  .adjusted(-2, -2, 2, 2);
            QVERIFY2(before.copy(box) != after.copy(box), qPrintable(name));
            before = after;
        }
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
