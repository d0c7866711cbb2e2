// The updater end to end on loopback: a signed feed and archives made with the
// release tool's library, served by a local server, installed into throw-away
// install folders; the dialogs driven through their user driver.

#include "BundleInfo.h"
#include "FeedServer.h"
#include "ReleaseSigning.h"
#include "SparkleUpdaterController.h"
#include "UpdateInstaller.h"
#include "UpdateVersion.h"
#include "Updater.h"
#include "UpdaterUserDriver.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>

#include <sys/stat.h>
#include <thread>

Q_IMPORT_QML_PLUGIN(VuzevTaviPlugin)

using namespace ReleaseSigning;
using namespace Qt::StringLiterals;

namespace {

const QDateTime kStart = QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
constexpr qint64 kDay = 86'400;

class FakeClock : public UpdaterClock
{
public:
    explicit FakeClock(QDateTime start)
        : m_now(std::move(start))
    { }
    QDateTime now() const override { return m_now; }
    void callAt(const QDateTime &when, std::function<void()> action) override
    {
        m_when = when;
        m_action = std::move(action);
    }
    void cancel() override { m_action = nullptr; }
    void advance(qint64 seconds)
    {
        m_now = m_now.addSecs(seconds);
        if (m_action && m_now >= m_when)
            std::exchange(m_action, nullptr)();
    }

private:
    QDateTime m_now;
    QDateTime m_when;
    std::function<void()> m_action;
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
    program.start(root + QStringLiteral("/bin/vuzev-tavi"), {});
    if (!program.waitForFinished(10'000) || program.exitCode() != 0)
        return QStringLiteral("<not runnable>");
    return QString::fromUtf8(program.readAllStandardOutput()).trimmed();
}

FeedServer::Route route404()
{
    FeedServer::Route route;
    route.status = 404;
    route.body = "gone";
    return route;
}

FeedServer::Route redirectTo(const QByteArray &location)
{
    FeedServer::Route route;
    route.status = 302;
    route.location = location;
    return route;
}

// Records how the updater's current check or install ended.
struct Outcome
{
    explicit Outcome(Updater &updater)
    {
        QObject::connect(&updater, &Updater::upToDate, &updater,
            [this] { text = QStringLiteral("up to date"); });
        QObject::connect(&updater, &Updater::updateOffered, &updater,
            [this](const QString &v) { text = u"offered "_s + v; });
        QObject::connect(&updater, &Updater::updateStaged, &updater,
            [this](const QString &v) { text = u"staged "_s + v; });
        QObject::connect(&updater, &Updater::updateInstalled, &updater,
            [this](const QString &v) { text = u"installed "_s + v; });
        QObject::connect(&updater, &Updater::failed, &updater,
            [this](const QString &r) { text = u"failed: "_s + r; });
        QObject::connect(&updater, &Updater::cancelled, &updater,
            [this] { text = QStringLiteral("cancelled"); });
    }
    QString next()
    {
        if (!QTest::qWaitFor([this] { return !text.isEmpty(); }, 20'000))
            return QStringLiteral("no outcome");
        return std::exchange(text, QString());
    }
    QString text;
};

// A throw-away install folder (version 1.0), a feed server and a signing key.
struct Bed
{
    Bed()
    {
        if (!server.listen())
            qFatal("cannot listen");
        makeTree(root(), QStringLiteral("1.0"));
        setRunning(QStringLiteral("1.0"));
    }

    QString parent() const { return dir.path() + QStringLiteral("/place"); }
    QString root() const { return parent() + QStringLiteral("/vuzev-tavi"); }
    QString store() const { return dir.path() + QStringLiteral("/updater.ini"); }
    QStringList besideInstall() const
    {
        return QDir(parent()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    static void setRunning(const QString &version)
    {
        BundleInfo::overrideForTesting({{QStringLiteral("CFBundleShortVersionString"), version},
            {QStringLiteral("CFBundleVersion"), version}});
    }

    static void makeTree(const QString &root, const QString &version, bool marker = true)
    {
        writeFile(root + QStringLiteral("/bin/vuzev-tavi"),
            "#!/bin/sh\necho " + version.toUtf8() + "\n", true);
        writeFile(root + QStringLiteral("/share/vuzev-tavi/version"), version.toUtf8());
        if (marker)
            writeFile(root + QStringLiteral("/.vuzev-tavi-self-contained"), {});
    }

    QByteArray archive(const QString &version, bool marker = true)
    {
        const QString build = dir.path() + QStringLiteral("/build-") + version;
        makeTree(build + QStringLiteral("/vuzev-tavi-") + version, version, marker);
        const QString out = build + QStringLiteral(".tar.gz");
        QProcess tar;
        tar.start(QStringLiteral("tar"),
            {QStringLiteral("-czf"), out, QStringLiteral("-C"), build,
                QStringLiteral("vuzev-tavi-") + version});
        tar.waitForFinished();
        QFile file(out);
        file.open(QIODevice::ReadOnly);
        return file.readAll();
    }

    // Serves the archive and returns its feed item, signed with `secret`.
    FeedItem release(const QString &version, const QByteArray &bytes, const QByteArray &secret)
    {
        const QString path = QStringLiteral("/vuzev-tavi-") + version + QStringLiteral(".tar.gz");
        server.serve(path, bytes);
        FeedItem item;
        item.title = QStringLiteral("Vuzev Tavi ") + version;
        item.version = version;
        item.shortVersion = version;
        item.releaseNotes = QStringLiteral("<p>Faster drafts.</p>");
        item.url = server.url(path).toString();
        item.length = bytes.size();
        item.edSignature = sign(bytes, secret).toBase64();
        return item;
    }

    void publish(const QList<FeedItem> &items, const QByteArray &secret)
    {
        QStringList xml;
        for (const FeedItem &item : items)
            xml.append(feedItem(item));
        const QByteArray text = feed(QStringLiteral("Vuzev Tavi"), xml).toUtf8();
        server.serve(QStringLiteral("/appcast.xml"), text);
        server.serve(QStringLiteral("/appcast.xml.sig"), sign(text, secret).toBase64());
    }

    UpdaterConfiguration configuration() const
    {
        UpdaterConfiguration configuration;
        configuration.feedUrl = server.url(QStringLiteral("/appcast.xml"));
        configuration.publicKey = QString::fromLatin1(key.publicKey.toBase64());
        configuration.location = InstallLocation::forRoot(root());
        configuration.settingsPath = store();
        return configuration;
    }

    std::unique_ptr<Updater> updater(const UpdaterConfiguration &configuration,
        FakeClock **clock = nullptr, const QDateTime &start = kStart)
    {
        auto owned = std::make_unique<FakeClock>(start);
        if (clock)
            *clock = owned.get();
        return std::make_unique<Updater>(configuration, std::move(owned));
    }

    QTemporaryDir dir;
    FeedServer server;
    KeyPair key = generateKeyPair();
};

} // namespace

class TestUpdates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup() { BundleInfo::resetForTesting(); }

    void versionOrder_data();
    void versionOrder();
    void offers_data();
    void offers();
    void refusals_data();
    void refusals();
    void plainHttpElsewhereRefusedWithoutConnection_data();
    void plainHttpElsewhereRefusedWithoutConnection();
    void cancelledDownloadLeavesNothing();
    void settingsLiveInTheUpdater();
    void firstLaunchThenScheduledChecks();
    void automaticDownloadInstallsOnQuit();
    void interruptedUpdateLeavesARunnableVersion_data();
    void interruptedUpdateLeavesARunnableVersion();
    void packageManagerInstallOffersNoInstall();
    void versionLabel_data();
    void versionLabel();
    void sharedControllerCreatedOnce();
    void dialogsLoadAndFollowTheDriver();
    void releaseToolKeepsThePrivateKeyPrivate();

private:
    QTemporaryDir m_config;
};

void TestUpdates::initTestCase()
{
    // The shared controller keeps its store under the config home.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void TestUpdates::versionOrder_data()
{
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("right");
    QTest::addColumn<int>("order");
    QTest::newRow("numeric, not textual") << u"1.10.2"_s << u"1.9"_s << 1;
    QTest::newRow("missing parts are zero") << u"2.0"_s << u"2"_s << 0;
    QTest::newRow("longer and newer") << u"2.0.1"_s << u"2"_s << 1;
    QTest::newRow("pre-release before release") << u"1.0b1"_s << u"1.0"_s << -1;
    QTest::newRow("pre-releases in order") << u"1.0b2"_s << u"1.0b10"_s << -1;
    QTest::newRow("huge numbers") << u"99999999999999999999"_s << u"99999999999999999998"_s << 1;
}

void TestUpdates::versionOrder()
{
    QFETCH(QString, left);
    QFETCH(QString, right);
    QFETCH(int, order);
    QCOMPARE(UpdateVersion::compare(left, right), order);
    QCOMPARE(UpdateVersion::compare(right, left), -order);
}

void TestUpdates::offers_data()
{
    QTest::addColumn<QString>("running");
    QTest::addColumn<QStringList>("published");
    QTest::addColumn<QString>("skip");
    QTest::addColumn<bool>("manual");
    QTest::addColumn<QString>("outcome");
    const QStringList none;
    QTest::newRow("newer offered")
        << u"1.9"_s << QStringList {u"1.10.2"_s} << u""_s << true << u"offered 1.10.2"_s;
    QTest::newRow("newest of several") << u"1.0"_s << QStringList {u"1.2"_s, u"1.10"_s, u"1.9"_s}
                                       << u""_s << true << u"offered 1.10"_s;
    QTest::newRow("same not offered")
        << u"2.0"_s << QStringList {u"2.0"_s} << u""_s << true << u"up to date"_s;
    QTest::newRow("older not offered")
        << u"2.0"_s << QStringList {u"1.9.9"_s} << u""_s << true << u"up to date"_s;
    QTest::newRow("scheduled check offers too")
        << u"1.0"_s << QStringList {u"1.1"_s} << u""_s << false << u"offered 1.1"_s;
    QTest::newRow("skipped hidden from scheduled")
        << u"1.0"_s << QStringList {u"1.1"_s} << u"1.1"_s << false << u"up to date"_s;
    QTest::newRow("skipped still shown to manual")
        << u"1.0"_s << QStringList {u"1.1"_s} << u"1.1"_s << true << u"offered 1.1"_s;
    QTest::newRow("newer than skipped offered")
        << u"1.0"_s << QStringList {u"1.1"_s, u"1.2"_s} << u"1.1"_s << false << u"offered 1.2"_s;
    // A trailing "!" marks a release that needs a newer system than any.
    QTest::newRow("release for a newer system not offered")
        << u"1.0"_s << QStringList {u"1.1"_s, u"1.2!"_s} << u""_s << true << u"offered 1.1"_s;
}

void TestUpdates::offers()
{
    QFETCH(QString, running);
    QFETCH(QStringList, published);
    QFETCH(QString, skip);
    QFETCH(bool, manual);
    QFETCH(QString, outcome);
    Bed bed;
    Bed::setRunning(running);
    const QByteArray bytes = bed.archive(QStringLiteral("9"));
    QList<FeedItem> items;
    for (const QString &version : published) {
        const bool newerSystem = version.endsWith(u'!');
        items.append(bed.release(version.chopped(newerSystem ? 1 : 0), bytes, bed.key.secretKey));
        if (newerSystem)
            items.last().minimumSystemVersion = QStringLiteral("9999");
    }
    auto updater = bed.updater(bed.configuration());
    Outcome ended(*updater);
    UpdaterUserDriver &driver = *updater->userDriver();

    if (!skip.isEmpty()) {
        bed.publish({bed.release(skip, bytes, bed.key.secretKey)}, bed.key.secretKey);
        updater->checkForUpdates();
        QCOMPARE(ended.next(), u"offered "_s + skip);
        driver.skipThisVersion();
        QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Hidden);
    }
    bed.publish(items, bed.key.secretKey);
    manual ? updater->checkForUpdates() : updater->checkInBackground();
    QCOMPARE(ended.next(), outcome);
    const auto shown = outcome.startsWith(u"offered") ? UpdaterUserDriver::Stage::UpdateFound
        : manual                                      ? UpdaterUserDriver::Stage::UpToDate
                                                      : UpdaterUserDriver::Stage::Hidden;
    QCOMPARE(driver.stage(), shown);
    if (shown == UpdaterUserDriver::Stage::UpdateFound) {
        QVERIFY(driver.canInstall());
        QCOMPARE(driver.releaseNotes(), QStringLiteral("<p>Faster drafts.</p>"));
    }
}

void TestUpdates::refusals_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("a good release installs") << u"none"_s << u"installed 2.0"_s;
    QTest::newRow("tampered archive")
        << u"tampered archive"_s << u"archive\u2019s signature is not valid"_s;
    QTest::newRow("archive signed by another key")
        << u"archive key"_s << u"archive\u2019s signature is not valid"_s;
    QTest::newRow("archive without signature")
        << u"no archive signature"_s << u"no valid signature"_s;
    QTest::newRow("feed signed by another key")
        << u"feed key"_s << u"feed\u2019s signature is not valid"_s;
    QTest::newRow("feed altered after signing")
        << u"feed altered"_s << u"feed\u2019s signature is not valid"_s;
    QTest::newRow("feed without signature") << u"no feed signature"_s << u"feed is not signed"_s;
    QTest::newRow("feed signature not base64")
        << u"garbled feed signature"_s << u"signature is malformed"_s;
    QTest::newRow("length differs from the feed") << u"wrong length"_s << u"but the feed says"_s;
    QTest::newRow("longer than announced") << u"endless"_s << u"longer than the"_s;
    QTest::newRow("larger than accepted") << u"oversize"_s << u"larger"_s;
    QTest::newRow("cut off half-way") << u"cut off"_s << u"ended after"_s;
    QTest::newRow("not a self-contained copy") << u"no marker"_s << u"not a self-contained copy"_s;
    QTest::newRow("feed unreachable") << u"unreachable"_s << u"could not be reached"_s;
}

void TestUpdates::refusals()
{
    QFETCH(QString, fault);
    QFETCH(QString, outcome);
    Bed bed;
    UpdaterConfiguration configuration = bed.configuration();
    const QByteArray bytes = bed.archive(QStringLiteral("2.0"), fault != u"no marker");
    const KeyPair other = generateKeyPair();
    FeedItem item = bed.release(QStringLiteral("2.0"), bytes,
        fault == u"archive key" ? other.secretKey : bed.key.secretKey);
    const QString archivePath = QStringLiteral("/vuzev-tavi-2.0.tar.gz");
    FeedServer::Route route;
    route.body = bytes;
    if (fault == u"tampered archive")
        route.body[route.body.size() / 2] = char(route.body[route.body.size() / 2] ^ 0x20);
    if (fault == u"no archive signature")
        item.edSignature.clear();
    if (fault == u"wrong length")
        item.length += 10;
    if (fault == u"endless") {
        route.omitLength = true;
        route.body += QByteArray(4096, 'x');
    }
    if (fault == u"oversize")
        configuration.maxArchiveBytes = bytes.size() - 1;
    if (fault == u"unreachable")
        configuration.feedUrl = QUrl(QStringLiteral("http://127.0.0.1:1/appcast.xml"));
    if (fault == u"cut off")
        route.cutAfter = bytes.size() / 2;
    bed.server.route(archivePath, route);
    bed.publish({item}, fault == u"feed key" ? other.secretKey : bed.key.secretKey);
    if (fault == u"feed altered")
        bed.server.serve(QStringLiteral("/appcast.xml"),
            feed(QStringLiteral("Vuzev Tavi"), {feedItem(item)}).toUtf8() + " ");
    if (fault == u"no feed signature")
        bed.server.route(QStringLiteral("/appcast.xml.sig"), route404());
    if (fault == u"garbled feed signature")
        bed.server.serve(QStringLiteral("/appcast.xml.sig"), "not a signature");

    auto updater = bed.updater(configuration);
    Outcome ended(*updater);
    UpdaterUserDriver &driver = *updater->userDriver();
    updater->checkForUpdates();
    QString result = ended.next();
    if (result == u"offered 2.0") {
        driver.install();
        result = ended.next();
    }
    QVERIFY2(result.contains(outcome), qPrintable(result));
    if (fault == u"none") {
        QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Installed);
        QCOMPARE(runProgram(bed.root()), QStringLiteral("2.0"));
        // The replaced version is kept until the new one has started.
        QCOMPARE(bed.besideInstall(), QStringList({u".vuzev-tavi.previous"_s, u"vuzev-tavi"_s}));
        QCOMPARE(runProgram(bed.parent() + QStringLiteral("/.vuzev-tavi.previous")),
            QStringLiteral("1.0"));
        return;
    }
    QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Failed);
    QVERIFY(result.endsWith(driver.message()));
    QCOMPARE(runProgram(bed.root()), QStringLiteral("1.0"));
    QCOMPARE(bed.besideInstall(), QStringList {u"vuzev-tavi"_s});
    if (fault == u"oversize")
        QCOMPARE(bed.server.requests(archivePath), 0);
}

void TestUpdates::plainHttpElsewhereRefusedWithoutConnection_data()
{
    QTest::addColumn<bool>("redirect");
    QTest::newRow("feed on another host") << false;
    QTest::newRow("redirect to another host") << true;
}

void TestUpdates::plainHttpElsewhereRefusedWithoutConnection()
{
    QFETCH(bool, redirect);
    Bed bed;
    // Any connection to the other host would go through this proxy and be counted.
    FeedServer proxy;
    QVERIFY(proxy.listen());
    UpdaterConfiguration configuration = bed.configuration();
    const QByteArray elsewhere = "http://updates.vuzev.example/appcast.xml";
    if (redirect)
        bed.server.route(QStringLiteral("/appcast.xml"), redirectTo(elsewhere));
    else
        configuration.feedUrl = QUrl(QString::fromLatin1(elsewhere));
    if (!redirect)
        QNetworkProxy::setApplicationProxy(QNetworkProxy(
            QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.url({}).port()));
    auto updater = bed.updater(configuration);
    Outcome ended(*updater);
    updater->checkForUpdates();
    const QString result = ended.next();
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QVERIFY2(result.contains(u"only fetched over https"), qPrintable(result));
    QCOMPARE(updater->userDriver()->stage(), UpdaterUserDriver::Stage::Failed);
    QCOMPARE(proxy.totalRequests(), 0);
}

void TestUpdates::cancelledDownloadLeavesNothing()
{
    Bed bed;
    const QByteArray bytes = bed.archive(QStringLiteral("2.0")) + QByteArray(1 << 20, '\0');
    FeedItem item = bed.release(QStringLiteral("2.0"), bytes, bed.key.secretKey);
    FeedServer::Route stalled;
    stalled.body = bytes;
    stalled.cutAfter = bytes.size() / 2;
    stalled.stallAfterCut = true;
    bed.server.route(QStringLiteral("/vuzev-tavi-2.0.tar.gz"), stalled);
    bed.publish({item}, bed.key.secretKey);
    auto updater = bed.updater(bed.configuration());
    Outcome ended(*updater);
    UpdaterUserDriver &driver = *updater->userDriver();
    updater->checkForUpdates();
    QCOMPARE(ended.next(), QStringLiteral("offered 2.0"));
    driver.install();
    QTRY_VERIFY(driver.progress() > 0.3);
    QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Downloading);
    driver.cancel();
    QCOMPARE(ended.next(), QStringLiteral("cancelled"));
    QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Hidden);
    QCOMPARE(bed.besideInstall(), QStringList {u"vuzev-tavi"_s});
}

void TestUpdates::settingsLiveInTheUpdater()
{
    Bed bed;
    auto updater = bed.updater(bed.configuration());
    QSignalSpy changes(updater.get(), &Updater::settingsChanged);
    const QList<std::pair<bool, bool>> writes {
        {false, false}, {false, true}, {true, true}, {true, false}};
    for (const auto &[checks, downloads] : writes) {
        const int before = int(changes.size());
        updater->setAutomaticallyChecksForUpdates(checks);
        updater->setAutomaticallyDownloadsUpdates(downloads);
        QCOMPARE(changes.size(), before + 2);
        QCOMPARE(updater->automaticallyChecksForUpdates(), checks);
        QCOMPARE(updater->automaticallyDownloadsUpdates(), downloads);
        // Kept by the updater's own store: a second updater reads the same.
        auto again = bed.updater(bed.configuration());
        QCOMPARE(again->automaticallyChecksForUpdates(), checks);
        QCOMPARE(again->automaticallyDownloadsUpdates(), downloads);
    }

    // The shared controller forwards writes and signals once per write.
    SparkleUpdaterController &controller = SparkleUpdaterController::shared();
    QSignalSpy willChange(&controller, &SparkleUpdaterController::objectWillChange);
    for (bool value : {false, true}) {
        controller.setAutomaticallyChecksForUpdates(value);
        QCOMPARE(controller.updater().automaticallyChecksForUpdates(), value);
        controller.setAutomaticallyDownloadsUpdates(!value);
        QCOMPARE(controller.automaticallyDownloadsUpdates(), !value);
        QCOMPARE(controller.automaticallyChecksForUpdates(), value);
    }
    QCOMPARE(willChange.size(), 4);
    QCOMPARE(UpdaterSettings(UpdaterSettings::defaultPath()).automaticallyDownloads(), false);
}

void TestUpdates::firstLaunchThenScheduledChecks()
{
    Bed bed;
    bed.publish({}, bed.key.secretKey);
    FakeClock *clock = nullptr;
    int checks = 0;
    auto launch = [&](const QDateTime &at) {
        auto updater = bed.updater(bed.configuration(), &clock, at);
        connect(updater.get(), &Updater::checkStarted, this, [&checks] { ++checks; });
        updater->start();
        return updater;
    };

    // First launch: no check and no question.
    auto first = launch(kStart);
    clock->advance(0);
    clock->advance(3 * kDay);
    QCOMPARE(first->userDriver()->stage(), UpdaterUserDriver::Stage::Hidden);
    QCOMPARE(checks, 0);
    first.reset();

    // Second launch: asked once; no check until answered, then one at once.
    auto second = launch(kStart.addSecs(4 * kDay));
    Outcome ended(*second);
    QCOMPARE(second->userDriver()->stage(), UpdaterUserDriver::Stage::AskAutomaticChecks);
    clock->advance(kDay);
    QCOMPARE(checks, 0);
    second->userDriver()->answerAutomaticChecks(true);
    QVERIFY(second->automaticallyChecksForUpdates());
    clock->advance(0);
    QCOMPARE(checks, 1);
    QCOMPARE(ended.next(), QStringLiteral("up to date"));

    // Then once per interval, on time.
    clock->advance(kDay - 60);
    QCOMPARE(checks, 1);
    clock->advance(60);
    QCOMPARE(checks, 2);
    QCOMPARE(ended.next(), QStringLiteral("up to date"));
    QCOMPARE(bed.server.requests(QStringLiteral("/appcast.xml")), 2);
    const QDateTime restart = clock->now().addSecs(60);
    second.reset();

    // A restart within the interval does not check again, nor ask again.
    auto third = launch(restart);
    QCOMPARE(third->userDriver()->stage(), UpdaterUserDriver::Stage::Hidden);
    clock->advance(0);
    clock->advance(kDay - 120);
    QCOMPARE(checks, 2);
    clock->advance(60);
    QCOMPARE(checks, 3);

    // Turned off, nothing more is scheduled.
    third->setAutomaticallyChecksForUpdates(false);
    clock->advance(5 * kDay);
    QCOMPARE(checks, 3);
}

void TestUpdates::automaticDownloadInstallsOnQuit()
{
    Bed bed;
    bed.publish(
        {bed.release(QStringLiteral("2.0"), bed.archive(QStringLiteral("2.0")), bed.key.secretKey)},
        bed.key.secretKey);
    {
        UpdaterSettings settings(bed.store());
        settings.setLaunchCount(1);
        settings.setAutomaticallyChecks(true);
        settings.setAutomaticallyDownloads(true);
    }
    FakeClock *clock = nullptr;
    auto updater = bed.updater(bed.configuration(), &clock);
    Outcome ended(*updater);
    updater->start();
    clock->advance(0);
    QCOMPARE(ended.next(), QStringLiteral("staged 2.0"));
    // Silent, and nothing replaced while the program runs.
    QCOMPARE(updater->userDriver()->stage(), UpdaterUserDriver::Stage::Hidden);
    QCOMPARE(runProgram(bed.root()), QStringLiteral("1.0"));

    updater->installStagedUpdate(); // as the program quits
    QCOMPARE(ended.next(), QStringLiteral("installed 2.0"));
    QCOMPARE(runProgram(bed.root()), QStringLiteral("2.0"));
    QCOMPARE(bed.besideInstall(), QStringList({u".vuzev-tavi.previous"_s, u"vuzev-tavi"_s}));
    updater.reset();

    // The new version's first start lets the old one go.
    Bed::setRunning(QStringLiteral("2.0"));
    auto next = bed.updater(bed.configuration());
    next->start();
    QTRY_COMPARE(bed.besideInstall(), QStringList {u"vuzev-tavi"_s});
    QCOMPARE(runProgram(bed.root()), QStringLiteral("2.0"));
}

void TestUpdates::interruptedUpdateLeavesARunnableVersion_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QString>("running");
    QTest::newRow("download interrupted") << u"download"_s << u"1.0"_s;
    QTest::newRow("unpack interrupted") << u"unpack"_s << u"1.0"_s;
    QTest::newRow("killed before the exchange") << u"before-exchange"_s << u"1.0"_s;
    QTest::newRow("killed right after the exchange") << u"exchanged"_s << u"2.0"_s;
    QTest::newRow("killed after keeping the old version") << u"kept-previous"_s << u"2.0"_s;
}

void TestUpdates::interruptedUpdateLeavesARunnableVersion()
{
    QFETCH(QString, stage);
    QFETCH(QString, running);
    Bed bed;
    const QString staging = bed.parent() + QStringLiteral("/.vuzev-tavi.update-k1ll3d");
    if (stage == u"download") {
        writeFile(
            bed.parent() + QStringLiteral("/.vuzev-tavi.download-abc123"), QByteArray(1000, 'x'));
    } else if (stage == u"unpack") {
        writeFile(
            staging + QStringLiteral("/vuzev-tavi-2.0/bin/vuzev-tavi"), "#!/bin/sh\nexit 1\n");
    } else {
        Bed::makeTree(staging + QStringLiteral("/vuzev-tavi-2.0"), QStringLiteral("2.0"));
        QProcess child;
        child.start(QStringLiteral(SWAP_CHILD_PATH),
            {bed.root(), staging + QStringLiteral("/vuzev-tavi-2.0"), stage});
        QVERIFY(child.waitForStarted());
        QByteArray said;
        QTRY_COMPARE((said += child.readAllStandardOutput()).trimmed(), stage.toUtf8());
        child.kill();
        QVERIFY(child.waitForFinished());
    }
    QCOMPARE(runProgram(bed.root()), running);

    // The next start tidies up and the program still runs.
    auto updater = bed.updater(bed.configuration());
    updater->start();
    QTRY_COMPARE(bed.besideInstall(), QStringList {u"vuzev-tavi"_s});
    QCOMPARE(runProgram(bed.root()), running);
}

void TestUpdates::packageManagerInstallOffersNoInstall()
{
    QTemporaryDir trees;
    Bed::makeTree(trees.path() + QStringLiteral("/tarball"), QStringLiteral("1.0"));
    Bed::makeTree(trees.path() + QStringLiteral("/build"), QStringLiteral("1.0"), false);
    QCOMPARE(InstallLocation::detect(QStringLiteral("/usr/bin")).kind,
        InstallLocation::Kind::PackageManager);
    QCOMPARE(InstallLocation::detect(trees.path() + QStringLiteral("/tarball/bin")).kind,
        InstallLocation::Kind::SelfContained);
    QCOMPARE(InstallLocation::detect(trees.path() + QStringLiteral("/build/bin")).kind,
        InstallLocation::Kind::Other);

    Bed bed;
    const QString archivePath = QStringLiteral("/vuzev-tavi-2.0.tar.gz");
    bed.publish(
        {bed.release(QStringLiteral("2.0"), bed.archive(QStringLiteral("2.0")), bed.key.secretKey)},
        bed.key.secretKey);
    UpdaterConfiguration configuration = bed.configuration();
    configuration.location = InstallLocation::detect(QStringLiteral("/usr/bin"));
    UpdaterSettings(bed.store()).setAutomaticallyDownloads(true);
    auto updater = bed.updater(configuration);
    Outcome ended(*updater);
    UpdaterUserDriver &driver = *updater->userDriver();

    // A scheduled check with automatic downloads still downloads nothing.
    updater->checkInBackground();
    QCOMPARE(ended.next(), QStringLiteral("offered 2.0"));
    updater->checkForUpdates();
    QCOMPARE(ended.next(), QStringLiteral("offered 2.0"));
    QVERIFY(!driver.canInstall());
    QVERIFY(driver.installNote().contains(u"package manager"));
    driver.install();
    QTest::qWait(200);
    QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::UpdateFound);
    QCOMPARE(bed.server.requests(archivePath), 0);
}

void TestUpdates::versionLabel_data()
{
    QTest::addColumn<QVariantMap>("info");
    QTest::addColumn<QString>("label");
    const QString shortKey = QStringLiteral("CFBundleShortVersionString");
    const QString buildKey = QStringLiteral("CFBundleVersion");
    QTest::newRow("both keys") << QVariantMap {{shortKey, u"1.4"_s}, {buildKey, u"27"_s}}
                               << u"1.4 (27)"_s;
    QTest::newRow("short version only") << QVariantMap {{shortKey, u"2.0"_s}} << u"2.0 (\u2014)"_s;
    QTest::newRow("build only") << QVariantMap {{buildKey, u"27"_s}} << u"\u2014 (27)"_s;
    QTest::newRow("neither") << QVariantMap {} << u"\u2014 (\u2014)"_s;
    QTest::newRow("not text") << QVariantMap {{shortKey, 2}, {buildKey, QStringList {u"27"_s}}}
                              << u"\u2014 (\u2014)"_s;
}

void TestUpdates::versionLabel()
{
    QFETCH(QVariantMap, info);
    QFETCH(QString, label);
    BundleInfo::overrideForTesting(info);
    QCOMPARE(SparkleUpdaterController::currentVersionLabel(), label);
}

void TestUpdates::sharedControllerCreatedOnce()
{
    std::vector<SparkleUpdaterController *> seen(8);
    std::vector<std::thread> threads;
    for (auto &slot : seen)
        threads.emplace_back([&slot] { slot = &SparkleUpdaterController::shared(); });
    for (auto &thread : threads)
        thread.join();
    for (auto *controller : seen)
        QCOMPARE(controller, &SparkleUpdaterController::shared());
    SparkleUpdaterController &controller = SparkleUpdaterController::shared();
    QCOMPARE(controller.thread(), QCoreApplication::instance()->thread());
    QTRY_VERIFY(controller.updater().isStarted());
    QTest::qWait(50);
    QCOMPARE(UpdaterSettings(UpdaterSettings::defaultPath()).launchCount(), 1);

    // Every entry point calls the one check, which starts the updater's own.
    QSignalSpy started(&controller.updater(), &Updater::checkStarted);
    controller.checkForUpdates();
    QCOMPARE(started.size(), 1);
    QCOMPARE(
        started.first().first().value<Updater::CheckKind>(), Updater::CheckKind::UserInitiated);
    QCOMPARE(controller.userDriver()->stage(), UpdaterUserDriver::Stage::Checking);
    controller.userDriver()->cancel();
    QTRY_COMPARE(controller.userDriver()->stage(), UpdaterUserDriver::Stage::Hidden);
}

void TestUpdates::dialogsLoadAndFollowTheDriver()
{
    QStringList warnings;
    static QStringList *sink = nullptr;
    sink = &warnings;
    const auto previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                sink->append(text);
        });
    {
        QQmlApplicationEngine engine;
        engine.load(QUrl(QStringLiteral("qrc:/VuzevTavi/UpdaterDialogs.qml")));
        QCOMPARE(engine.rootObjects().size(), 1);
        auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
        QVERIFY(window);
        QVERIFY(!window->isVisible());
        UpdaterUserDriver &driver = *SparkleUpdaterController::shared().userDriver();
        driver.showError(
            QStringLiteral("The update feed is not signed; nothing in it was trusted."));
        QVERIFY(window->isVisible());
        auto *message = window->findChild<QObject *>(QStringLiteral("updaterMessage"));
        QVERIFY(message);
        QCOMPARE(message->property("text").toString(), driver.message());
        auto *ok = window->findChild<QObject *>(QStringLiteral("updaterOkButton"));
        QVERIFY(ok && ok->property("visible").toBool());
        QVERIFY(!window->findChild<QObject *>(QStringLiteral("updaterInstallButton"))
                     ->property("visible")
                     .toBool());
        QMetaObject::invokeMethod(ok, "clicked");
        QCOMPARE(driver.stage(), UpdaterUserDriver::Stage::Hidden);
        QVERIFY(!window->isVisible());
    }
    qInstallMessageHandler(previous);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(u'\n')));
}

void TestUpdates::releaseToolKeepsThePrivateKeyPrivate()
{
    QTemporaryDir dir;
    const QString keyPath = dir.filePath(QStringLiteral("release.key"));
    QProcess tool;
    tool.start(QStringLiteral(RELEASE_TOOL_PATH), {QStringLiteral("generate-keys"), keyPath});
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
    tool.start(QStringLiteral(RELEASE_TOOL_PATH), {QStringLiteral("generate-keys"), keyPath});
    QVERIFY(tool.waitForFinished());
    QVERIFY(tool.exitCode() != 0);
    QCOMPARE(readSecretKey(keyPath), secret);
}

QTEST_MAIN(TestUpdates)
#include "test_updates.moc"
