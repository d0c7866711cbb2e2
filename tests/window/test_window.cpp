// The window as the operator meets it: the real QML offscreen, bound to a real
// workspace that talks HTTP to the reference pack service or to a scripted
// stand-in on loopback. Items are found by their object names.

#include "LanguageModel.h"
#include "PackServiceProcess.h"
#include "ScriptedHttpServer.h"
#include "ScriptedModelServer.h"
#include "SparkleUpdaterController.h"
#include "TaviCoach.h"
#include "VelunorApp.h"
#include "VoridIzid.h"

#include <QAccessible>
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPalette>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

#include <memory>

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

// The seed pack as the service would answer it, numbered so that every answer
// is told apart by its version and its voice.
QByteArray packEnvelope(int number)
{
    QFile file(PackServiceProcess::defaultSeedPath());
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read the seed pack");
    QJsonObject pack = QJsonDocument::fromJson(file.readAll()).object();
    pack[QStringLiteral("version")] = QStringLiteral("v%1").arg(number);
    QJsonObject modules = pack[QStringLiteral("modules")].toObject();
    QJsonObject persona = modules[QStringLiteral("persona")].toObject();
    persona[QStringLiteral("voice")] = QStringLiteral("Voice %1").arg(number);
    modules[QStringLiteral("persona")] = persona;
    pack[QStringLiteral("modules")] = modules;
    return QJsonDocument(QJsonObject {{QStringLiteral("pack"), pack}}).toJson();
}

// A pack service that counts what it is asked, answers after `delay`, fails
// with 500 while `failing`, and never answers while `hanging`.
struct StandIn
{
    StandIn()
    {
        if (!http.listen())
            qFatal("cannot listen");
        http.setHandler([this](const ScriptedRequest &request) {
            if (hanging)
                return ScriptedResponse::hang();
            if (failing)
                return ScriptedResponse::json(500, R"({"error":"down"})").withDelay(delay);
            if (request.target.endsWith("/preview"))
                return ScriptedResponse::json(200, R"({"reply":{"text":")" + reply + "\"}}")
                    .withDelay(delay);
            return ScriptedResponse::json(200, packEnvelope(http.requestCount())).withDelay(delay);
        });
    }
    QString url() const { return http.url().toString(); }

    ScriptedHttpServer http;
    std::chrono::milliseconds delay {0};
    bool failing = false;
    bool hanging = false;
    QByteArray reply = "Halo Kak!";
};

// WCAG contrast of `text` (with its alpha) laid over the opaque `background`.
double contrast(const QColor &text, const QColor &background)
{
    const auto luminance = [](const QColor &c) {
        double sum = 0;
        for (auto [v, w] :
            {std::pair {c.redF(), 0.2126}, {c.greenF(), 0.7152}, {c.blueF(), 0.0722}})
            sum += w * (v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
        return sum + 0.05;
    };
    const double a = text.alphaF();
    const QColor shown = QColor::fromRgbF(float(text.redF() * a + background.redF() * (1 - a)),
        float(text.greenF() * a + background.greenF() * (1 - a)),
        float(text.blueF() * a + background.blueF() * (1 - a)));
    const double x = luminance(shown), y = luminance(background);
    return std::max(x, y) / std::min(x, y);
}

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

    // Opens the window on `base` and waits for its appearance load to end.
    bool open(const QString &base, bool waitForLoad = true)
    {
        qputenv("TAVI_API_BASE", base.toUtf8());
        m_engine = std::make_unique<QQmlApplicationEngine>();
        m_window = m_app.openWindow(*m_engine);
        if (!m_window || !QTest::qWaitForWindowExposed(m_window))
            return false;
        // Shortcuts go to the active window only.
        m_window->requestActivate();
        if (!QTest::qWaitForWindowActive(m_window))
            return false;
        m_workspace = m_window->findChild<VoridIzid *>(QStringLiteral("workspace"));
        return m_workspace && (!waitForLoad || idle());
    }
    bool idle()
    {
        return QTest::qWaitFor([this] { return !m_workspace->busy(); }, 10000);
    }

    QQuickItem *item(const char *name) const
    {
        auto *found = m_window->findChild<QQuickItem *>(QLatin1String(name));
        if (!found)
            qFatal("no item %s", name);
        return found;
    }
    QObject *object(const char *name) const
    {
        QObject *found = m_window->findChild<QObject *>(QLatin1String(name));
        if (!found)
            qFatal("no object %s", name);
        return found;
    }
    QString text(const char *name) const { return object(name)->property("text").toString(); }
    bool shown(const char *name) const { return item(name)->isVisible(); }

    void focus(QQuickItem *target)
    {
        m_window->requestActivate();
        target->forceActiveFocus(Qt::TabFocusReason);
    }

    // Presses a button the way the operator or a screen reader would.
    void press(QQuickItem *button, const QByteArray &way)
    {
        if (way == "accessibility") {
            QAccessible::queryAccessibleInterface(button)->actionInterface()->doAction(
                QAccessibleActionInterface::pressAction());
            return;
        }
        focus(button);
        if (way == "pointer")
            QTest::mouseClick(m_window, Qt::LeftButton, {},
                button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint());
        else
            QTest::keyClick(m_window,
                way == "space"        ? Qt::Key_Space
                    : way == "return" ? Qt::Key_Return
                                      : Qt::Key_Enter);
    }

    // Types into a field at `position`, a key at a time.
    void type(const char *name, int position, const QString &typed)
    {
        focus(item(name));
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

    void windowMenusAndAppearanceLoad()
    {
        QVERIFY(open(m_standIn->url()));
        QCOMPARE(m_window->title(), QStringLiteral("Vuzev Tavi"));
        QCOMPARE(m_window->size(), QSize(1100, 760));
        const auto bar = [this](const char *name) {
            return m_window->property(name).value<QQuickItem *>()->height();
        };
        QCOMPARE(m_window->minimumSize(), QSize(880, int(640 + bar("menuBar") + bar("header"))));
        QCOMPARE(m_window->maximumSize(), QSize((1 << 24) - 1, (1 << 24) - 1));
        QCOMPARE(QGuiApplication::topLevelWindows().size(), 1);
        QCOMPARE(text("statusText"), QStringLiteral("Loaded v1"));
        QCOMPARE(text("apiBaseField"), m_standIn->url());
        QCOMPARE(text("operatorTokenField"), QString());
        // Shown again, the window loads again.
        m_window->hide();
        m_window->show();
        QVERIFY(m_standIn->http.waitForRequests(2) && idle());
        QCOMPARE(text("statusText"), QStringLiteral("Loaded v2"));

        // About, directly after it the update check, then Quit.
        QObject *menu = object("aboutMenuItem")->property("menu").value<QObject *>();
        QStringList order;
        for (int i = 0; i < 4; ++i) {
            QQuickItem *entry = nullptr;
            QMetaObject::invokeMethod(
                menu, "itemAt", Q_RETURN_ARG(QQuickItem *, entry), Q_ARG(int, i));
            order << entry->property("text").toString();
        }
        QCOMPARE(order,
            QStringList({QStringLiteral("About Vuzev Tavi"), QStringLiteral("Check for Updates…"),
                QString(), QStringLiteral("Quit")}));
        press(item("menuBarItem"), "accessibility");
        QTRY_VERIFY(menu->property("visible").toBool());
        press(item("aboutMenuItem"), "accessibility");
        QTRY_VERIFY(object("aboutDialog")->property("visible").toBool());
        QCOMPARE(text("aboutVersionText"),
            QStringLiteral("Version ") + SparkleUpdaterController::currentVersionLabel());
        press(item("aboutOkButton"), "accessibility");
        QTRY_VERIFY(!object("aboutDialog")->property("visible").toBool());

        QObject::disconnect(m_engine.get(), &QQmlEngine::quit, nullptr, nullptr);
        QSignalSpy quit(m_engine.get(), &QQmlEngine::quit);
        press(item("quitMenuItem"), "accessibility");
        QTRY_COMPARE(quit.size(), 1);
        if (!QKeySequence::keyBindings(QKeySequence::Quit).isEmpty()) { // none on offscreen
            QTest::keySequence(m_window, QKeySequence::Quit);
            QTRY_COMPARE(quit.size(), 2);
        }
    }

    void columnWidthsAndScrolling_data()
    {
        QTest::addColumn<int>("width");
        QTest::newRow("minimum") << 880;
        QTest::newRow("wide") << 1600;
    }
    void columnWidthsAndScrolling()
    {
        QFETCH(int, width);
        QVERIFY(open(m_standIn->url()));
        m_window->resize(width, m_window->minimumHeight());
        QQuickItem *left = item("leftColumn");
        QQuickItem *right = item("rightColumn");
        QTRY_COMPARE(left->parentItem()->width(), double(width - 40));
        const double row = left->parentItem()->width();
        QCOMPARE(left->width(), qBound(360.0, (row - 28) / 2, 480.0));
        QCOMPARE(left->width() == 480, width == 1600);
        QCOMPARE(right->x() - left->x() - left->width(), 28.0);
        QCOMPARE(right->width(), row - 28 - left->width());
        QVERIFY(item("voiceEditor")->height() >= 88 && item("instructionEditor")->height() >= 72);
        if (width > 880)
            return;
        // Taller content scrolls, and keyboard focus brings a control into view.
        auto *flickable = item("workspaceScroll")->property("contentItem").value<QQuickItem *>();
        const double overflow
            = flickable->property("contentHeight").toDouble() - flickable->height();
        QVERIFY(overflow > 0);
        for (const char *name : {"apiBaseField", "rollbackButton"}) {
            flickable->setProperty("contentY", name[0] == 'a' ? overflow : 0.0);
            focus(item(name));
            const auto box
                = [&] { return item(name)->mapRectToItem(flickable, item(name)->boundingRect()); };
            QTRY_VERIFY(box().top() >= 0 && box().bottom() <= flickable->height());
        }
    }

    void enabledStates_data()
    {
        QTest::addColumn<bool>("pack");
        QTest::addColumn<bool>("busy");
        QTest::newRow("no pack") << false << false;
        QTest::newRow("pack") << true << false;
        QTest::newRow("busy, no pack") << false << true;
        QTest::newRow("busy with a pack") << true << true;
    }
    void enabledStates()
    {
        QFETCH(bool, pack);
        QFETCH(bool, busy);
        m_standIn->failing = !pack;
        m_standIn->hanging = busy && !pack;
        QVERIFY(open(m_standIn->url(), !m_standIn->hanging));
        QVERIFY(m_standIn->http.waitForRequests(1));
        if (busy && pack) {
            m_standIn->hanging = true;
            press(item("reloadButton"), "pointer");
            QVERIFY(m_standIn->http.waitForRequests(2));
        }
        QTRY_COMPARE(m_workspace->busy(), busy);
        QCOMPARE(m_workspace->hasPack(), pack);

        const struct
        {
            const char *name;
            bool enabled;
        } controls[] = {{"reloadButton", !busy}, {"coachButton", !busy && pack},
            {"previewButton", !busy && pack}, {"publishButton", !busy && pack},
            {"rollbackButton", !busy}, {"checkForUpdatesToolbarButton", true},
            {"checkForUpdatesCardButton", true}, {"checkForUpdatesMenuItem", true},
            {"autoCheckToggle", true}, {"autoDownloadToggle", true}, {"apiBaseField", true},
            {"operatorTokenField", true}, {"voiceEditor", true}, {"ctaField", true},
            {"instructionEditor", true}, {"previewMessageField", true}};
        for (const auto &control : controls)
            QVERIFY2(item(control.name)->isEnabled() == control.enabled, control.name);
        QCOMPARE(text("coachButton"),
            busy ? QStringLiteral("Working…") : QStringLiteral("Rewrite with Apple Intelligence"));
        QCOMPARE(shown("liveBadge"), pack);
        QCOMPARE(shown("editor"), pack);
        if (pack)
            QCOMPARE(text("liveBadge"), QStringLiteral("Live pack ") + m_workspace->packVersion());

        // A disabled button ignores a screen reader's press (the bridge calls it enabled).
        const QString status = m_workspace->status();
        const int asked = m_standIn->http.requestCount();
        for (const auto &control : controls) {
            if (!control.enabled)
                press(item(control.name), "accessibility");
        }
        QTest::qWait(50);
        QCOMPARE(m_standIn->http.requestCount(), asked);
        QCOMPARE(m_workspace->status(), status);

        // The three update checks reach the one controller, busy or not.
        QSignalSpy checks(
            &SparkleUpdaterController::shared(), &SparkleUpdaterController::checkStarted);
        press(item("checkForUpdatesToolbarButton"), "accessibility");
        press(item("checkForUpdatesCardButton"), "space");
        press(item("checkForUpdatesMenuItem"), "accessibility");
        QCOMPARE(checks.size(), 3);
    }

    // Each button starts its operation, however it is pressed; voice edits typed
    // meanwhile give way to a pack that replaces the draft, and stay otherwise.
    void operations_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QByteArray>("way");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<QByteArray>("request");
        const QByteArray api = "/api/capability-packs/";
        QTest::newRow("reload") << QByteArray("reloadButton") << QByteArray("accessibility")
                                << false << "GET " + api + "current";
        QTest::newRow("publish") << QByteArray("publishButton") << QByteArray("space") << false
                                 << "POST " + api + "publish";
        QTest::newRow("rollback") << QByteArray("rollbackButton") << QByteArray("return") << false
                                  << "POST " + api + "rollback";
        QTest::newRow("coach") << QByteArray("coachButton") << QByteArray("pointer") << false
                               << "POST " + api + "coach";
        QTest::newRow("preview") << QByteArray("previewButton") << QByteArray("enter") << false
                                 << "POST " + api + "preview";
        QTest::newRow("failed reload") << QByteArray("reloadButton") << QByteArray("accessibility")
                                       << true << "GET " + api + "current";
        QTest::newRow("failed publish")
            << QByteArray("publishButton") << QByteArray("accessibility") << true
            << "POST " + api + "publish";
    }
    void operations()
    {
        QFETCH(QByteArray, button);
        QFETCH(QByteArray, way);
        QFETCH(bool, fails);
        QFETCH(QByteArray, request);
        QVERIFY(open(m_standIn->url()));
        m_standIn->delay = 300ms;
        m_standIn->failing = fails;
        const QString before = text("voiceEditor");
        press(item(button.constData()), way);
        QVERIFY(m_workspace->busy());
        type("voiceEditor", int(before.size()), QStringLiteral("!!"));
        QVERIFY(idle());
        const ScriptedRequest last = m_standIn->http.lastRequest();
        QCOMPARE(last.method + ' ' + last.target, request);
        const bool replaced = !fails && button != "previewButton";
        QCOMPARE(text("voiceEditor"),
            replaced ? QStringLiteral("Voice 2") : before + QStringLiteral("!!"));
        QCOMPARE(m_workspace->voice(), text("voiceEditor"));
    }

    void captionReplyAndStatusShowOnlyWithText()
    {
        QVERIFY(open(m_standIn->url()));
        QVERIFY(!shown("sourceLabel") && !shown("previewReplyText"));
        press(item("previewButton"), "accessibility");
        QTRY_VERIFY(shown("previewReplyText"));
        QCOMPARE(text("previewReplyText"), QStringLiteral("Halo Kak!"));
        QCOMPARE(text("sourceLabel"), QStringLiteral("Preview: mlx"));
        QTRY_VERIFY(item("sourceLabel")->y() < item("previewReplyText")->y());
        m_standIn->reply = "";
        press(item("previewButton"), "accessibility");
        QTRY_VERIFY(!shown("previewReplyText"));
        QVERIFY(shown("sourceLabel"));

        // An empty status line takes no room: the column ends with the publish row.
        const double withStatus = item("leftColumn")->implicitHeight();
        const double line = item("statusText")->height();
        item("statusText")->setProperty("text", QString());
        QVERIFY(!shown("statusText"));
        QTRY_COMPARE(item("leftColumn")->implicitHeight(), withStatus - line - 16);
    }

    void writeBackChangesOnlyThatField_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::newRow("persona voice") << QByteArray("voiceEditor");
        QTest::newRow("CTA") << QByteArray("ctaField");
    }
    void writeBackChangesOnlyThatField()
    {
        QFETCH(QByteArray, field);
        QVERIFY(open(m_standIn->url()));
        CapabilityPack expected = *m_workspace->pack();
        const QString status = m_workspace->status();
        type(field.constData(), 3, QStringLiteral("xyz"));
        QString &edited = field == "ctaField" ? expected.modules.replyRules.cta
                                              : expected.modules.persona.voice;
        edited.insert(3, QStringLiteral("xyz"));
        QVERIFY(*m_workspace->pack() == expected);
        QCOMPARE(text(field.constData()), edited);
        // The caret stayed where the typing went on.
        QCOMPARE(item(field.constData())->property("cursorPosition").toInt(), 6);
        QCOMPARE(m_workspace->status(), status);
        QTest::qWait(50);
        QCOMPARE(m_standIn->http.requestCount(), 1);
    }

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
        press(item("previewButton"), "accessibility");
        QTRY_VERIFY(shown("previewReplyText") && shown("sourceLabel"));
        QCOMPARE(text("sourceLabel"), QStringLiteral("Preview: apple-foundation"));
        const QString shots = qEnvironmentVariable("TAVI_WINDOW_SCREENSHOTS");
        if (!shots.isEmpty())
            m_window->grabWindow().save(
                shots + QLatin1String(dark ? "/window-dark.png" : "/window-light.png"));

        // Green exactly while the model is available, with the sentence of the moment;
        // every dimmed or tinted text stays legible.
        QQuickItem *availability = item("availabilityText");
        const auto colour
            = [this](const char *name) { return item(name)->property("color").value<QColor>(); };
        QCOMPARE(availability->property("text").toString(), TaviCoach::appleIntelligenceStatus());
        const QColor green = colour("availabilityText");
        QVERIFY(green.green() > green.red() && green.green() > green.blue());
        // The badge's capsule: orange at 15% over the window.
        const QColor capsule = QColor::fromRgbF(float(0.15 + 0.85 * background.redF()),
            float(0.0876 + 0.85 * background.greenF()), float(0.85 * background.blueF()));
        QVERIFY(contrast(green, background) >= 4.5);
        QVERIFY(contrast(colour("statusText"), background) >= 4.5);
        QVERIFY(contrast(colour("liveBadge"), capsule) >= 4.5);
        const auto part = [this](const char *name) {
            return item("coachButton")
                ->property(name)
                .value<QQuickItem *>()
                ->property("color")
                .value<QColor>();
        };
        QVERIFY(contrast(part("contentItem"), part("background")) >= 4.5);
        SystemLanguageModel::defaultModel().configure(
            m_model->baseUrl(), m_model->modelName(), false);
        QCOMPARE(availability->property("text").toString(), TaviCoach::appleIntelligenceStatus());
        QCOMPARE(colour("availabilityText"), colour("statusText"));
    }

    void tokenStaysSecret()
    {
        QVERIFY(open(m_standIn->url()));
        const QString token = QStringLiteral("s3cret-token");
        type("operatorTokenField", 0, token);
        QCOMPARE(m_workspace->operatorToken(), token);

        // What a screen reader may read: the name, and as many dots as the screen shows.
        QAccessibleInterface *field
            = QAccessible::queryAccessibleInterface(item("operatorTokenField"));
        QCOMPARE(field->text(QAccessible::Name), QStringLiteral("Operator token"));
        QVERIFY(field->state().passwordEdit);
        const QString value = field->text(QAccessible::Value);
        QCOMPARE(value.size(), token.size());
        QVERIFY(!value.contains(QLatin1Char('s')));
        QCOMPARE(field->textInterface()->text(0, field->textInterface()->characterCount()), value);
        QAccessibleInterface *plain = QAccessible::queryAccessibleInterface(item("apiBaseField"));
        QCOMPARE(plain->text(QAccessible::Value), m_standIn->url());

        // Copy and cut leave the clipboard alone; the same keys do copy a plain field.
        QClipboard *clipboard = QGuiApplication::clipboard();
        for (const char *name : {"operatorTokenField", "apiBaseField"}) {
            clipboard->setText(QStringLiteral("before"));
            focus(item(name));
            for (auto key : {QKeySequence::SelectAll, QKeySequence::Copy, QKeySequence::Cut})
                QTest::keySequence(m_window, key);
            QCOMPARE(clipboard->text() == QLatin1String("before"), name[0] == 'o');
        }
        QCOMPARE(m_workspace->operatorToken(), token);
    }

    void keyboard()
    {
        QVERIFY(open(m_standIn->url()));
        // Return in a single-line field starts nothing.
        QSignalSpy busy(m_workspace, &VoridIzid::busyChanged);
        for (const char *name :
            {"apiBaseField", "operatorTokenField", "ctaField", "previewMessageField"}) {
            focus(item(name));
            QTest::keyClick(m_window, Qt::Key_Return);
            QTest::keyClick(m_window, Qt::Key_Enter);
        }
        QTest::qWait(50);
        QCOMPARE(busy.size(), 0);
        QCOMPARE(m_standIn->http.requestCount(), 1);

        // Tab goes through the left column, then the right one.
        const QStringList order = QStringLiteral(
            "operatorTokenField autoCheckToggle autoDownloadToggle checkForUpdatesCardButton "
            "voiceEditor ctaField publishButton rollbackButton instructionEditor coachButton "
            "previewMessageField previewButton")
                                      .split(QLatin1Char(' '));
        focus(item("apiBaseField"));
        QStringList reached;
        for (qsizetype i = 0; i < order.size(); ++i) {
            QTest::keyClick(m_window, Qt::Key_Tab);
            reached << m_window->activeFocusItem()->objectName();
        }
        QCOMPARE(reached, order);
    }

    // The switches show what the controller reads back, however they are changed.
    void updatesCardMirrorsTheController()
    {
        QVERIFY(open(m_standIn->url()));
        SparkleUpdaterController &controller = SparkleUpdaterController::shared();
        QCOMPARE(text("updatesVersionText"),
            QStringLiteral("Vuzev Tavi ") + SparkleUpdaterController::currentVersionLabel());
        QCOMPARE(text("updatesFeedCaption"),
            QStringLiteral("Signed Sparkle feed from ") + SparkleUpdaterController::feedHost()
                + QStringLiteral(". Same Developer ID flow as Pellion."));
        const bool checks = controller.automaticallyChecksForUpdates();
        press(item("autoCheckToggle"), "space");
        QCOMPARE(controller.automaticallyChecksForUpdates(), !checks);
        QAccessible::queryAccessibleInterface(item("autoCheckToggle"))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(controller.automaticallyChecksForUpdates(), checks);
        const bool downloads = controller.automaticallyDownloadsUpdates();
        controller.setAutomaticallyDownloadsUpdates(!downloads);
        QCOMPARE(item("autoDownloadToggle")->property("checked").toBool(), !downloads);
        QCOMPARE(item("autoCheckToggle")->property("checked").toBool(), checks);
        controller.setAutomaticallyDownloadsUpdates(downloads);
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
