// The updater end to end on loopback: a signed feed and archives made with the
// release tool's library, served by a local server, installed into throw-away
// install folders; the dialogs driven through their user driver.

#include "BundleInfo.h"
#include "FeedServer.h"
#include "ReleaseSigning.h"
#include "SparkleUpdaterController.h"
#include "StartupGate.h"
#include "UpdateInstaller.h"
#include "UpdateVersion.h"
#include "Updater.h"
#include "UpdaterUserDriver.h"
#include "VelunorApp.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>

#include <sys/stat.h>
#include <thread>

Q_IMPORT_QML_PLUGIN(VuzevTaviPlugin)

using namespace ReleaseSigning;
using namespace Qt::StringLiterals;
using Stage = UpdaterUserDriver::Stage;
using Route = FeedServer::Route;

namespace {

const QDateTime kStart = QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
constexpr qint64 kDay = 86'400;
const QStringList kOnlyInstall {u"vuzev-tavi"_s};
const QStringList kInstallAndPrevious {u".vuzev-tavi.previous"_s, u"vuzev-tavi"_s};

struct FakeClock : UpdaterClock
{
    QDateTime now() const override { return at; }
    void callAt(const QDateTime &when, std::function<void()> action) override
    {
        due = when;
        pending = std::move(action);
    }
    void cancel() override { pending = nullptr; }
    void advance(qint64 seconds)
    {
        at = at.addSecs(seconds);
        if (pending && at >= due)
            std::exchange(pending, nullptr)();
    }
    QDateTime at, due;
    std::function<void()> pending;
};

void writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    if (executable)
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

QString runProgram(const QString &root)
{
    QProcess program;
    program.start(root + u"/bin/vuzev-tavi"_s, {});
    if (!program.waitForFinished(10'000) || program.exitCode() != 0)
        return u"<not runnable>"_s;
    return QString::fromUtf8(program.readAllStandardOutput()).trimmed();
}

// Records how the updater's current check or install ended.
struct Outcome
{
    explicit Outcome(Updater &updater)
    {
        const auto on = [&](auto signal, const QString &prefix) {
            QObject::connect(&updater, signal, &updater,
                [this, prefix](const auto &...detail) { text = QString((prefix + ... + detail)); });
        };
        on(&Updater::upToDate, u"up to date"_s);
        on(&Updater::updateOffered, u"offered "_s);
        on(&Updater::updateStaged, u"staged "_s);
        on(&Updater::updateInstalled, u"installed "_s);
        on(&Updater::failed, u"failed: "_s);
        on(&Updater::cancelled, u"cancelled"_s);
    }
    QString next()
    {
        if (!QTest::qWaitFor([this] { return !text.isEmpty(); }, 20'000))
            return u"no outcome"_s;
        return std::exchange(text, QString());
    }
    QString text;
};

// A throw-away install folder (version 1.0), a feed server and a signing key.
struct Bed
{
    Bed()
    {
        QVERIFY(server.listen());
        makeTree(root(), u"1.0"_s);
        setRunning(u"1.0"_s);
    }
    ~Bed() { UpdaterSettings::waitForSaves(); } // before the folder goes

    QString parent() const { return dir.path() + u"/place"_s; }
    QString root() const { return parent() + u"/vuzev-tavi"_s; }
    QString store() const { return dir.path() + u"/updater.ini"_s; }
    QStringList besideInstall() const
    {
        return QDir(parent()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    static void setRunning(const QString &version)
    {
        BundleInfo::overrideForTesting(
            {{u"CFBundleShortVersionString"_s, version}, {u"CFBundleVersion"_s, version}});
    }

    static void makeTree(const QString &root, const QString &version, bool marker = true)
    {
        writeFile(root + u"/bin/vuzev-tavi"_s, "#!/bin/sh\necho " + version.toUtf8() + "\n", true);
        writeFile(root + u"/share/vuzev-tavi/version"_s, version.toUtf8());
        if (marker)
            writeFile(root + u"/.vuzev-tavi-self-contained"_s, {});
    }

    // With `outside`, the archive also holds a member that climbs out of the
    // folder it is unpacked into.
    QByteArray archive(const QString &version, bool marker = true, bool outside = false)
    {
        const QString build = dir.path() + u"/build-"_s + version;
        makeTree(build + u"/vuzev-tavi-"_s + version, version, marker);
        QStringList members {u"vuzev-tavi-"_s + version};
        if (outside) {
            writeFile(parent() + u"/escaped"_s, "x");
            members << u"--absolute-names"_s << u"../place/escaped"_s;
        }
        QProcess::execute(
            u"tar"_s, QStringList {u"-czf"_s, build + u".tgz"_s, u"-C"_s, build} + members);
        QFile::remove(parent() + u"/escaped"_s);
        QFile file(build + u".tgz"_s);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Serves the archive and returns its feed item, signed with our key.
    FeedItem release(const QString &version, const QByteArray &bytes)
    {
        const QString path = u"/vuzev-tavi-"_s + version + u".tar.gz"_s;
        server.serve(path, bytes);
        FeedItem item;
        item.title = u"Vuzev Tavi "_s + version;
        item.version = item.shortVersion = version;
        item.releaseNotes = u"<p>Faster drafts.</p>"_s;
        item.url = server.url(path).toString();
        item.length = bytes.size();
        item.edSignature = sign(bytes, key.secretKey).toBase64();
        return item;
    }

    void publish(const QList<FeedItem> &items)
    {
        QStringList xml;
        for (const FeedItem &item : items)
            xml.append(feedItem(item));
        const QByteArray text = feed(u"Vuzev Tavi"_s, xml).toUtf8();
        server.serve(u"/appcast.xml"_s, text);
        server.serve(u"/appcast.xml.sig"_s, sign(text, key.secretKey).toBase64());
    }

    UpdaterConfiguration configuration() const
    {
        return {.feedUrl = server.url(u"/appcast.xml"_s),
            .publicKey = QString::fromLatin1(key.publicKey.toBase64()),
            .location = InstallLocation::forRoot(root()),
            .settingsPath = store()};
    }

    // The updater's clock is the bed's until the next one is made.
    std::unique_ptr<Updater> updater(
        const UpdaterConfiguration &configuration, const QDateTime &start = kStart)
    {
        auto owned = std::make_unique<FakeClock>();
        clock = owned.get();
        clock->at = start;
        return std::make_unique<Updater>(configuration, std::move(owned));
    }

    QTemporaryDir dir;
    FeedServer server;
    KeyPair key = generateKeyPair();
    FakeClock *clock = nullptr;
};

} // namespace

class TestUpdates : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;

private Q_SLOTS:
    // The shared controller keeps its store under the config home.
    void initTestCase() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path())); }
    void cleanup() { BundleInfo::resetForTesting(); }

    // Created once whichever threads ask first (so this runs before anything else
    // touches it), it lives and starts its updater on the user-interface thread.
    void sharedController()
    {
        std::vector<SparkleUpdaterController *> seen(8);
        std::vector<std::thread> threads;
        for (auto &slot : seen)
            threads.emplace_back([&slot] { slot = &SparkleUpdaterController::shared(); });
        for (auto &thread : threads)
            thread.join();
        SparkleUpdaterController &controller = SparkleUpdaterController::shared();
        QCOMPARE(seen, std::vector<SparkleUpdaterController *>(8, &controller));
        QCOMPARE(controller.thread(), QCoreApplication::instance()->thread());
        QTRY_VERIFY(controller.updater().isStarted());
        QTest::qWait(50);
        QCOMPARE(UpdaterSettings(UpdaterSettings::defaultPath()).launchCount(), 1);

        // Settings live in the updater and its store; each write signals once.
        QSignalSpy willChange(&controller, &SparkleUpdaterController::objectWillChange);
        for (const bool value : {false, true}) {
            controller.setAutomaticallyChecksForUpdates(value);
            controller.setAutomaticallyDownloadsUpdates(!value);
            QCOMPARE(controller.updater().automaticallyChecksForUpdates(), value);
            QCOMPARE(controller.automaticallyDownloadsUpdates(), !value);
            const UpdaterSettings store(UpdaterSettings::defaultPath());
            QCOMPARE(store.automaticallyChecks(), value);
            QCOMPARE(store.automaticallyDownloads(), !value);
        }
        QCOMPARE(willChange.size(), 4);
    }

    // The dialogs' window is built the first time the updater has something to
    // say, never before the main window's first frame, and then follows it.
    void dialogsLoadAndFollowTheDriver()
    {
        QTest::failOnWarning(QRegularExpression(u"."_s));
        qputenv("TAVI_API_BASE", "http://127.0.0.1:1");
        {
            VelunorApp app;
            QQmlApplicationEngine engine;
            QQuickWindow *main = app.openWindow(engine);
            QVERIFY(main);
            UpdaterUserDriver &driver = *SparkleUpdaterController::shared().userDriver();
            driver.showError(u"The update feed is not signed; nothing in it was trusted."_s);
            QCOMPARE(engine.rootObjects().size(), 1);
            QVERIFY(QTest::qWaitForWindowExposed(main));
            QTRY_COMPARE(engine.rootObjects().size(), 2);
            auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().last());
            QVERIFY(window->isVisible());
            QMetaObject::invokeMethod(
                window->findChild<QObject *>(u"updaterOkButton"_s), "clicked");
            QCOMPARE(driver.stage(), Stage::Hidden);
            QVERIFY(!window->isVisible());
            QCOMPARE(engine.rootObjects().size(), 2);
            // Windows share one software render context, which lets go of a gone
            // window's textures when it next draws a frame.
            delete window;
            main->update();
            QVERIFY(QTest::qWaitForWindowExposed(main));
            QTest::qWait(50);
        }
        qunsetenv("TAVI_API_BASE");
    }

    void versionOrderAndLabel()
    {
        const std::tuple<QString, QString, int> order[]
            = {{u"1.10.2"_s, u"1.9"_s, 1}, {u"2.0"_s, u"2"_s, 0}, {u"2.0.1"_s, u"2"_s, 1},
                {u"1.0b1"_s, u"1.0"_s, -1}, {u"1.0b2"_s, u"1.0b10"_s, -1},
                {u"99999999999999999999"_s, u"99999999999999999998"_s, 1}};
        for (const auto &[left, right, sign] : order) {
            QCOMPARE(UpdateVersion::compare(left, right), sign);
            QCOMPARE(UpdateVersion::compare(right, left), -sign);
        }
        const QString shortKey = u"CFBundleShortVersionString"_s, buildKey = u"CFBundleVersion"_s;
        const std::pair<QVariantMap, QString> labels[] = {
            {{{shortKey, u"2.0"_s}}, u"2.0 (\u2014)"_s}, {{{buildKey, u"27"_s}}, u"\u2014 (27)"_s},
            {{{shortKey, 2}, {buildKey, QStringList {u"27"_s}}}, u"\u2014 (\u2014)"_s}};
        for (const auto &[info, label] : labels) {
            BundleInfo::overrideForTesting(info);
            QCOMPARE(SparkleUpdaterController::currentVersionLabel(), label);
        }
    }

    void offers_data()
    {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QStringList>("published"); // "!": needs a newer system than any
        QTest::addColumn<QString>("skip");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<QString>("offered"); // empty: up to date
        const auto row = [](const char *name, const QString &running, const QString &published,
                             const QString &skip, bool manual, const QString &offered) {
            QTest::newRow(name) << running << published.split(u' ') << skip << manual << offered;
        };
        row("newest of several", u"1.0"_s, u"1.2 1.10 1.9"_s, {}, true, u"1.10"_s);
        row("same not offered", u"2.0"_s, u"2.0"_s, {}, true, {});
        row("older not offered", u"2.0"_s, u"1.9.9"_s, {}, false, {});
        row("skipped hidden from scheduled", u"1.0"_s, u"1.1"_s, u"1.1"_s, false, {});
        row("skipped still shown to manual", u"1.0"_s, u"1.1"_s, u"1.1"_s, true, u"1.1"_s);
        row("newer than skipped offered", u"1.0"_s, u"1.1 1.2"_s, u"1.1"_s, false, u"1.2"_s);
        row("release for a newer system not offered", u"1.0"_s, u"1.1 1.2!"_s, {}, true, u"1.1"_s);
    }

    void offers()
    {
        QFETCH(QString, running);
        QFETCH(QStringList, published);
        QFETCH(QString, skip);
        QFETCH(bool, manual);
        QFETCH(QString, offered);
        Bed bed;
        Bed::setRunning(running);
        const QByteArray bytes = bed.archive(u"9"_s);
        auto updater = bed.updater(bed.configuration());
        Outcome ended(*updater);
        UpdaterUserDriver &driver = *updater->userDriver();
        if (!skip.isEmpty()) {
            bed.publish({bed.release(skip, bytes)});
            updater->checkForUpdates();
            QCOMPARE(ended.next(), u"offered "_s + skip);
            driver.skipThisVersion();
            QCOMPARE(driver.stage(), Stage::Hidden);
        }
        QList<FeedItem> items;
        for (const QString &version : published) {
            items.append(bed.release(version.chopped(version.endsWith(u'!') ? 1 : 0), bytes));
            if (version.endsWith(u'!'))
                items.last().minimumSystemVersion = u"9999"_s;
        }
        bed.publish(items);
        manual ? updater->checkForUpdates() : updater->checkInBackground();
        QCOMPARE(ended.next(), offered.isEmpty() ? u"up to date"_s : u"offered "_s + offered);
        QCOMPARE(driver.stage(),
            !offered.isEmpty() ? Stage::UpdateFound
                : manual       ? Stage::UpToDate
                               : Stage::Hidden);
        QCOMPARE(driver.canInstall(), !offered.isEmpty());
        QCOMPARE(driver.releaseNotes(), offered.isEmpty() ? QString() : u"<p>Faster drafts.</p>"_s);
    }

    // The row's name is the fault; whatever is refused, the old version stays and
    // nothing is left beside it.
    void refusals_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::newRow("good release") << u"installed 2.0"_s;
        QTest::newRow("tampered archive") << u"archive\u2019s signature is not valid"_s;
        QTest::newRow("no archive signature") << u"no valid signature"_s;
        QTest::newRow("feed altered") << u"feed\u2019s signature is not valid"_s;
        QTest::newRow("no feed signature") << u"feed is not signed"_s;
        QTest::newRow("garbled feed signature") << u"signature is malformed"_s;
        QTest::newRow("wrong length") << u"but the feed says"_s;
        QTest::newRow("longer than announced") << u"longer than the"_s;
        QTest::newRow("oversize") << u"larger"_s;
        QTest::newRow("cut off") << u"ended after"_s;
        QTest::newRow("cancelled") << u"cancelled"_s;
        QTest::newRow("no marker") << u"not a self-contained copy"_s;
        QTest::newRow("member outside") << u"Member name contains '..'"_s;
        QTest::newRow("unreachable") << u"could not be reached"_s;
        QTest::newRow("http elsewhere") << u"only fetched over https"_s;
        QTest::newRow("redirect to http elsewhere") << u"only fetched over https"_s;
    }

    void refusals()
    {
        QFETCH(QString, outcome);
        const QByteArray fault = QTest::currentDataTag();
        Bed bed;
        UpdaterConfiguration configuration = bed.configuration();
        const QByteArray bytes
            = bed.archive(u"2.0"_s, fault != "no marker", fault == "member outside");
        // Neither a tar found first on the PATH nor options from the environment
        // may let a member out of the staging folder.
        const auto environment = qScopeGuard([path = qgetenv("PATH")] {
            qputenv("PATH", path);
            qunsetenv("TAR_OPTIONS");
        });
        if (fault == "member outside") {
            qputenv("PATH", "/nonexistent");
            qputenv("TAR_OPTIONS", "--absolute-names");
        }
        const QString archivePath = u"/vuzev-tavi-2.0.tar.gz"_s;
        const qsizetype half = bytes.size() / 2;
        FeedItem item = bed.release(u"2.0"_s, bytes);
        Route archive {.body = bytes};
        std::optional<Route> feedRoute, signatureRoute;
        // Any connection to another host would go through this proxy and be counted.
        FeedServer proxy;
        QVERIFY(proxy.listen());
        const auto noProxy
            = qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
        const QByteArray elsewhere = "http://updates.vuzev.example/appcast.xml";
        const QHash<QByteArray, std::function<void()>> faults {
            {"tampered archive", [&] { archive.body[half] = char(bytes[half] ^ 0x20); }},
            {"no archive signature", [&] { item.edSignature.clear(); }},
            {"feed altered",
                [&] {
                    feedRoute = {.body = feed(u"Vuzev Tavi"_s, {feedItem(item)}).toUtf8() + " "};
                }},
            {"no feed signature", [&] { signatureRoute = {.status = 404}; }},
            {"garbled feed signature", [&] { signatureRoute = {.body = "not a signature"}; }},
            {"wrong length", [&] { item.length += 10; }},
            {"longer than announced",
                [&] { archive = {.body = bytes + QByteArray(4096, 'x'), .omitLength = true}; }},
            {"oversize", [&] { configuration.maxArchiveBytes = bytes.size() - 1; }},
            {"cut off", [&] { archive.cutAfter = half; }},
            {"cancelled",
                [&] { archive = {.body = bytes, .cutAfter = half, .stallAfterCut = true}; }},
            {"unreachable",
                [&] { configuration.feedUrl = QUrl(u"http://127.0.0.1:1/appcast.xml"_s); }},
            {"http elsewhere",
                [&] {
                    configuration.feedUrl = QUrl(QString::fromLatin1(elsewhere));
                    QNetworkProxy::setApplicationProxy(
                        {QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(proxy.url({}).port())});
                }},
            {"redirect to http elsewhere",
                [&] { feedRoute = {.status = 302, .location = elsewhere}; }},
        };
        if (faults.contains(fault))
            faults[fault]();
        bed.server.route(archivePath, archive);
        bed.publish({item});
        if (feedRoute)
            bed.server.route(u"/appcast.xml"_s, *feedRoute);
        if (signatureRoute)
            bed.server.route(u"/appcast.xml.sig"_s, *signatureRoute);

        auto updater = bed.updater(configuration);
        Outcome ended(*updater);
        UpdaterUserDriver &driver = *updater->userDriver();
        updater->checkForUpdates();
        QString result = ended.next();
        if (result == u"offered 2.0") {
            driver.install();
            if (fault == "cancelled") {
                QTRY_VERIFY(driver.progress() > 0);
                QCOMPARE(driver.stage(), Stage::Downloading);
                driver.cancel();
            }
            result = ended.next();
        }
        QVERIFY2(result.contains(outcome), qPrintable(result));
        QCOMPARE(proxy.totalRequests(), 0);
        if (fault == "good release") {
            QCOMPARE(driver.stage(), Stage::Installed);
            QCOMPARE(runProgram(bed.root()), u"2.0"_s);
            // The replaced version is kept until the new one has started.
            QCOMPARE(bed.besideInstall(), kInstallAndPrevious);
            QCOMPARE(runProgram(bed.parent() + u"/.vuzev-tavi.previous"_s), u"1.0"_s);
            return;
        }
        QCOMPARE(driver.stage(), fault == "cancelled" ? Stage::Hidden : Stage::Failed);
        QVERIFY(result.endsWith(driver.message()));
        QCOMPARE(runProgram(bed.root()), u"1.0"_s);
        QCOMPARE(bed.besideInstall(), kOnlyInstall);
        if (fault == "oversize")
            QCOMPARE(bed.server.requests(archivePath), 0);
    }

    void firstLaunchThenScheduledChecks()
    {
        Bed bed;
        bed.publish({});
        int checks = 0;
        auto launch = [&](const QDateTime &at) {
            auto updater = bed.updater(bed.configuration(), at);
            connect(updater.get(), &Updater::checkStarted, this, [&checks] { ++checks; });
            updater->start();
            return updater;
        };
        const auto checksAfter = [&](qint64 seconds) {
            bed.clock->advance(seconds);
            return checks;
        };

        // First launch: no check and no question.
        auto updater = launch(kStart);
        QCOMPARE(checksAfter(0), 0);
        QCOMPARE(checksAfter(3 * kDay), 0);
        QCOMPARE(updater->userDriver()->stage(), Stage::Hidden);
        updater.reset();

        // Second launch: asked once; no check until answered, then one at once.
        updater = launch(kStart.addSecs(4 * kDay));
        Outcome ended(*updater);
        QCOMPARE(updater->userDriver()->stage(), Stage::AskAutomaticChecks);
        QCOMPARE(checksAfter(kDay), 0);
        updater->userDriver()->answerAutomaticChecks(true);
        QVERIFY(updater->automaticallyChecksForUpdates());
        QCOMPARE(checksAfter(0), 1);
        QCOMPARE(ended.next(), u"up to date"_s);

        // Then once per interval, on time.
        QCOMPARE(checksAfter(kDay - 60), 1);
        QCOMPARE(checksAfter(60), 2);
        QCOMPARE(ended.next(), u"up to date"_s);
        QCOMPARE(bed.server.requests(u"/appcast.xml"_s), 2);
        const QDateTime restart = bed.clock->now().addSecs(60);
        updater.reset();

        // A restart within the interval does not check again, nor ask again.
        updater = launch(restart);
        QCOMPARE(updater->userDriver()->stage(), Stage::Hidden);
        QCOMPARE(checksAfter(0), 2);
        QCOMPARE(checksAfter(kDay - 120), 2);
        QCOMPARE(checksAfter(60), 3);

        // Turned off, nothing more is scheduled.
        updater->setAutomaticallyChecksForUpdates(false);
        QCOMPARE(checksAfter(5 * kDay), 3);

        // A check due at launch waits for the window's first frame.
        QTRY_VERIFY(!updater->isBusy());
        updater->setAutomaticallyChecksForUpdates(true);
        QCOMPARE(checksAfter(0), 4);
        const QDateTime overdue = bed.clock->now().addSecs(2 * kDay);
        updater.reset();
        StartupGate::hold();
        updater = launch(overdue);
        QCOMPARE(checksAfter(0), 4);
        StartupGate::release();
        QCOMPARE(checksAfter(0), 5);
    }

    // Automatic downloads: into a self-contained copy the update is staged
    // silently and swapped in as the program quits; a package manager's copy is
    // only told about it.
    void automaticDownload_data()
    {
        QTest::addColumn<bool>("packaged");
        QTest::newRow("self-contained") << false;
        QTest::newRow("package manager") << true;
    }

    void automaticDownload()
    {
        QFETCH(bool, packaged);
        Bed bed;
        bed.publish({bed.release(u"2.0"_s, bed.archive(u"2.0"_s))});
        {
            UpdaterSettings settings(bed.store());
            settings.setLaunchCount(1);
            settings.setAutomaticallyChecks(true);
            settings.setAutomaticallyDownloads(true);
        }
        using Kind = InstallLocation::Kind;
        QCOMPARE(InstallLocation::detect(bed.dir.path() + u"/bin"_s).kind, Kind::Other);
        UpdaterConfiguration configuration = bed.configuration();
        configuration.location
            = InstallLocation::detect(packaged ? u"/usr/bin"_s : bed.root() + u"/bin"_s);
        QCOMPARE(
            configuration.location.kind, packaged ? Kind::PackageManager : Kind::SelfContained);
        auto updater = bed.updater(configuration);
        Outcome ended(*updater);
        UpdaterUserDriver &driver = *updater->userDriver();
        updater->start();
        bed.clock->advance(0);
        if (packaged) {
            QCOMPARE(ended.next(), u"offered 2.0"_s);
            QVERIFY(!driver.canInstall());
            QVERIFY(driver.installNote().contains(u"package manager"));
            driver.install();
            QTest::qWait(200);
            QCOMPARE(driver.stage(), Stage::UpdateFound);
            QCOMPARE(bed.server.requests(u"/vuzev-tavi-2.0.tar.gz"_s), 0);
            return;
        }
        QCOMPARE(ended.next(), u"staged 2.0"_s);
        // Silent, and nothing replaced while the program runs.
        QCOMPARE(driver.stage(), Stage::Hidden);
        QCOMPARE(runProgram(bed.root()), u"1.0"_s);
        updater->installStagedUpdate(); // as the program quits
        QCOMPARE(ended.next(), u"installed 2.0"_s);
        QCOMPARE(runProgram(bed.root()), u"2.0"_s);
        QCOMPARE(bed.besideInstall(), kInstallAndPrevious);
    }

    // The row's name is where the update was interrupted.
    void interruptedUpdateLeavesARunnableVersion_data()
    {
        QTest::addColumn<QString>("running");
        QTest::newRow("download") << u"1.0"_s;
        QTest::newRow("before-exchange") << u"1.0"_s;
        QTest::newRow("exchanged") << u"2.0"_s;
        QTest::newRow("kept-previous") << u"2.0"_s;
    }

    void interruptedUpdateLeavesARunnableVersion()
    {
        QFETCH(QString, running);
        const QString stage = QString::fromLatin1(QTest::currentDataTag());
        Bed bed;
        const QString tree = bed.parent() + u"/.vuzev-tavi.update-k1ll3d/vuzev-tavi-2.0"_s;
        if (stage == u"download") {
            writeFile(bed.parent() + u"/.vuzev-tavi.download-abc123"_s, QByteArray(1000, 'x'));
        } else {
            Bed::makeTree(tree, u"2.0"_s);
            QProcess child;
            child.start(QStringLiteral(SWAP_CHILD_PATH), {bed.root(), tree, stage});
            QByteArray said;
            QTRY_COMPARE((said += child.readAllStandardOutput()).trimmed(), stage.toUtf8());
            child.kill();
            QVERIFY(child.waitForFinished());
        }
        QCOMPARE(runProgram(bed.root()), running);

        // The next start tidies up and the program still runs.
        auto updater = bed.updater(bed.configuration());
        updater->start();
        QTRY_COMPARE(bed.besideInstall(), kOnlyInstall);
        QCOMPARE(runProgram(bed.root()), running);
    }

    void releaseToolKeepsThePrivateKeyPrivate()
    {
        QTemporaryDir dir;
        const QString keyPath = dir.filePath(u"release.key"_s);
        QProcess tool;
        tool.start(QStringLiteral(RELEASE_TOOL_PATH), {u"generate-keys"_s, keyPath});
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.exitCode(), 0);
        const QByteArray printed = tool.readAllStandardOutput() + tool.readAllStandardError();
        const QByteArray secret = readSecretKey(keyPath);
        QVERIFY(!printed.contains(secret.toBase64()));
        QVERIFY(printed.contains(publicKeyOf(secret).toBase64()));
        struct stat info
        { };
        QCOMPARE(::stat(QFile::encodeName(keyPath).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);

        // Never overwrites a key.
        tool.start(QStringLiteral(RELEASE_TOOL_PATH), {u"generate-keys"_s, keyPath});
        QVERIFY(tool.waitForFinished());
        QVERIFY(tool.exitCode() != 0);
        QCOMPARE(readSecretKey(keyPath), secret);
    }
};

QTEST_MAIN(TestUpdates)
#include "test_updates.moc"
