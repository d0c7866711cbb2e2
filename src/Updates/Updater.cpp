#include "Updater.h"

#include "BundleInfo.h"
#include "StartupGate.h"
#include "UpdateError.h"
#include "UpdateTransfer.h"
#include "UpdateVerifier.h"
#include "UpdateVersion.h"
#include "UpdaterUserDriver.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtConcurrent>

UpdaterConfiguration UpdaterConfiguration::fromBundle()
{
    const QVariantMap info = BundleInfo::infoDictionary();
    UpdaterConfiguration configuration;
    configuration.feedUrl = QUrl(BundleInfo::text(QStringLiteral("SUFeedURL")).value_or(QString()));
    configuration.publicKey = BundleInfo::text(QStringLiteral("SUPublicEDKey")).value_or(QString());
    bool numeric = false;
    const qint64 interval
        = info.value(QStringLiteral("SUScheduledCheckInterval")).toLongLong(&numeric);
    // Never more often than hourly, whatever the build says.
    configuration.checkIntervalSeconds = numeric ? std::max<qint64>(interval, 3600) : 86'400;
    const QVariant automatic = info.value(QStringLiteral("SUEnableAutomaticChecks"));
    configuration.automaticChecksByDefault = !automatic.isValid() || automatic.toBool();
    configuration.location = InstallLocation::detect(QCoreApplication::applicationDirPath());
    configuration.settingsPath = UpdaterSettings::defaultPath();
    return configuration;
}

Updater::Updater(
    UpdaterConfiguration configuration, std::unique_ptr<UpdaterClock> clock, QObject *parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
    , m_clock(std::move(clock))
    , m_settings(m_configuration.settingsPath)
    , m_driver(new UpdaterUserDriver(this))
    , m_networkThread(this)
    , m_verification(this)
    , m_unpacker(new ArchiveUnpacker(this))
{
    connect(m_driver, &UpdaterUserDriver::installChosen, this, [this] {
        m_interactive = true;
        m_installChosen = true;
        downloadAndStage(m_offered);
    });
    connect(m_driver, &UpdaterUserDriver::skipChosen, this, [this] {
        m_settings.setSkippedVersion(m_offered.version);
        m_driver->hide();
    });
    connect(m_driver, &UpdaterUserDriver::remindLaterChosen, m_driver, &UpdaterUserDriver::hide);
    connect(m_driver, &UpdaterUserDriver::cancelChosen, this, [this] {
        m_cancelRequested = true;
        if (m_transfer)
            m_transfer->cancel();
        else if (!m_verification.isRunning())
            m_unpacker->cancel(); // a running verification sees the request when it ends
    });
    connect(m_driver, &UpdaterUserDriver::relaunchChosen, this, [this] {
        installStagedUpdate(); // an update downloaded in the background goes in first
        QProcess::startDetached(
            m_configuration.location.root + QLatin1Char('/') + UpdateInstaller::programPath);
        QCoreApplication::quit();
    });
    connect(m_driver, &UpdaterUserDriver::automaticChecksAnswered, this,
        &Updater::setAutomaticallyChecksForUpdates);
    connect(&m_verification, &QFutureWatcher<bool>::finished, this, [this] {
        if (m_cancelRequested) {
            finishQuietly();
            return;
        }
        if (!m_verification.result()) {
            fail(QStringLiteral("The update archive\u2019s signature is not valid; it was not "
                                "installed."));
            return;
        }
        verified(m_pendingItem);
    });
    connect(m_unpacker, &ArchiveUnpacker::finished, this,
        [this](const QString &error) { unpacked(error, m_pendingItem); });
}

Updater::~Updater()
{
    m_clock->cancel();
    // Their workers are deleted on the network thread as it finishes.
    qDeleteAll(findChildren<UpdateTransferJob *>(Qt::FindDirectChildrenOnly));
    m_networkThread.quit();
    m_networkThread.wait();
    if (m_verification.isRunning())
        m_verification.waitForFinished();
}

void Updater::start()
{
    if (m_started)
        return;
    m_started = true;
    const int launch = m_settings.launchCount() + 1;
    m_settings.setLaunchCount(launch);
    if (launch >= 2 && !m_settings.automaticallyChecks().has_value()
        && !m_settings.askedAboutAutomaticChecks()) {
        m_settings.setAskedAboutAutomaticChecks(true);
        m_driver->askAutomaticChecks();
    }
    // The scan for leftovers and a check that is already due wait for the
    // window's first frame.
    StartupGate::whenReleased(this, [this] {
        const QStringList leftovers = UpdateInstaller::leftovers(m_configuration.location);
        if (!leftovers.isEmpty())
            (void)QtConcurrent::run([leftovers] { UpdateInstaller::removeLeftovers(leftovers); });
        scheduleNext();
    });
}

void Updater::checkForUpdates()
{
    beginCheck(CheckKind::UserInitiated);
}

void Updater::checkInBackground()
{
    beginCheck(CheckKind::Scheduled);
}

bool Updater::automaticallyChecksForUpdates() const
{
    return m_settings.automaticallyChecks().value_or(m_configuration.automaticChecksByDefault);
}

void Updater::setAutomaticallyChecksForUpdates(bool value)
{
    m_settings.setAutomaticallyChecks(value);
    scheduleNext();
    Q_EMIT settingsChanged();
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return m_settings.automaticallyDownloads();
}

void Updater::setAutomaticallyDownloadsUpdates(bool value)
{
    m_settings.setAutomaticallyDownloads(value);
    Q_EMIT settingsChanged();
}

QString Updater::runningVersion()
{
    return BundleInfo::text(QStringLiteral("CFBundleVersion")).value_or(QString());
}

QString Updater::runningDisplayVersion()
{
    const QString build = runningVersion();
    const QString version
        = BundleInfo::text(QStringLiteral("CFBundleShortVersionString")).value_or(build);
    return version == build || build.isEmpty()
        ? version
        : version + QStringLiteral(" (") + build + QLatin1Char(')');
}

void Updater::scheduleNext()
{
    if (!m_started)
        return;
    // No scheduled check on the first launch, nor while the question is open.
    if (m_settings.launchCount() < 2 || !automaticallyChecksForUpdates()
        || m_driver->stage() == UpdaterUserDriver::Stage::AskAutomaticChecks) {
        m_clock->cancel();
        return;
    }
    const QDateTime last = m_settings.lastCheckTime();
    const QDateTime due
        = last.isValid() ? last.addSecs(m_configuration.checkIntervalSeconds) : m_clock->now();
    m_clock->callAt(due, [this] { beginCheck(CheckKind::Scheduled); });
}

void Updater::beginCheck(CheckKind kind)
{
    if (m_busy) {
        if (kind == CheckKind::UserInitiated && !m_interactive) {
            // A background download is running; its outcome now goes to the dialogs.
            m_interactive = true;
            m_driver->showChecking();
        }
        return;
    }
    m_busy = true;
    m_kind = kind;
    m_interactive = kind == CheckKind::UserInitiated;
    m_cancelRequested = false;
    if (m_interactive)
        m_driver->showChecking();
    Q_EMIT checkStarted(kind);
    m_settings.setLastCheckTime(m_clock->now());
    scheduleNext();
    UpdateTransferJob *transfer = fetch(m_configuration.feedUrl, m_configuration.maxFeedBytes, -1);
    connect(
        transfer, &UpdateTransferJob::finished, this, [this, transfer] { feedArrived(transfer); });
    transfer->start();
}

UpdateTransferJob *Updater::fetch(
    const QUrl &url, qint64 maxBytes, qint64 expectedLength, const QString &filePath)
{
    UpdateTransfer::Limits limits;
    limits.maxBytes = maxBytes;
    limits.expectedLength = expectedLength;
    limits.inactivityMs = m_configuration.inactivityMs;
    limits.totalMs = m_configuration.totalMs;
    if (!m_networkThread.isRunning())
        m_networkThread.start();
    auto *transfer = new UpdateTransferJob(m_networkThread, url, limits, filePath, this);
    m_transfer = transfer;
    return transfer;
}

void Updater::feedArrived(UpdateTransferJob *transfer)
{
    transfer->deleteLater();
    if (transfer->cancelled())
        return finishQuietly();
    if (!transfer->error().isEmpty())
        return fail(transfer->error());
    const QByteArray feed = transfer->body();
    QUrl signatureUrl = m_configuration.feedUrl;
    signatureUrl.setPath(signatureUrl.path() + QStringLiteral(".sig"));
    UpdateTransferJob *next = fetch(signatureUrl, 4096, -1);
    connect(next, &UpdateTransferJob::finished, this,
        [this, next, feed] { signatureArrived(next, feed); });
    next->start();
}

void Updater::signatureArrived(UpdateTransferJob *transfer, const QByteArray &feed)
{
    transfer->deleteLater();
    if (transfer->cancelled())
        return finishQuietly();
    if (transfer->status() == 404 || transfer->status() == 410)
        return fail(QStringLiteral("The update feed is not signed; nothing in it was trusted."));
    if (!transfer->error().isEmpty())
        return fail(transfer->error());
    const auto key = UpdateVerifier::decodePublicKey(m_configuration.publicKey);
    if (!key)
        return fail(
            QStringLiteral("This build has no valid key to check updates with (SUPublicEDKey)."));
    const auto signature = UpdateVerifier::decodeSignature(transfer->body());
    if (!signature)
        return fail(
            QStringLiteral("The update feed\u2019s signature is malformed; nothing in it was "
                           "trusted."));
    if (!UpdateVerifier::verifyBytes(feed, *signature, *key))
        return fail(
            QStringLiteral("The update feed\u2019s signature is not valid: the feed was altered "
                           "or signed with another key."));
    try {
        offer(Appcast::parse(feed));
    } catch (const UpdateError &error) {
        fail(error.description());
    }
}

void Updater::offer(const QList<AppcastItem> &items)
{
    const QString running = runningVersion();
    const QString system = QSysInfo::productVersion();
    const AppcastItem *best = nullptr;
    for (const AppcastItem &item : items) {
        if (UpdateVersion::compare(item.version, running) <= 0)
            continue;
        if (!item.minimumSystemVersion.isEmpty() && system != u"unknown"
            && UpdateVersion::compare(system, item.minimumSystemVersion) < 0)
            continue;
        if (!best || UpdateVersion::compare(item.version, best->version) > 0)
            best = &item;
    }
    const bool skipped = best && m_kind == CheckKind::Scheduled && !best->critical
        && best->version == m_settings.skippedVersion();
    if (!best || skipped) {
        m_busy = false;
        if (m_interactive)
            m_driver->showUpToDate(runningDisplayVersion());
        Q_EMIT upToDate();
        return;
    }
    m_offered = *best;
    const InstallLocation &location = m_configuration.location;
    if (!m_interactive && automaticallyDownloadsUpdates() && location.canInstall()) {
        downloadAndStage(m_offered);
        return;
    }
    m_busy = false;
    m_driver->showUpdateFound(m_offered, runningDisplayVersion(), location.note());
    Q_EMIT updateOffered(m_offered.version);
}

void Updater::downloadAndStage(const AppcastItem &item)
{
    m_busy = true;
    m_cancelRequested = false;
    m_pendingItem = item;
    const InstallLocation &location = m_configuration.location;
    if (!location.canInstall())
        return fail(location.note());
    if (UpdateVersion::compare(item.version, runningVersion()) <= 0)
        return fail(
            QStringLiteral("Version %1 is not newer than the running one; it was not installed.")
                .arg(item.displayVersion()));
    if (item.length > m_configuration.maxArchiveBytes)
        return fail(QStringLiteral("The update is larger (%1 bytes) than the updater accepts.")
                        .arg(item.length));
    const auto signature = UpdateVerifier::decodeSignature(item.edSignature);
    if (!signature)
        return fail(
            QStringLiteral("The update archive has no valid signature in the feed; it was not "
                           "downloaded."));
    // Beside the install, so the unpacked tree can be renamed into place.
    m_download = std::make_unique<QTemporaryFile>(location.parentPath() + QLatin1Char('/')
        + location.leftoverPrefix() + QStringLiteral("download-XXXXXX"));
    if (!m_download->open())
        return fail(QStringLiteral("The update could not be saved beside the install: %1.")
                        .arg(m_download->errorString()));
    m_download->close(); // written on the network thread; the name stays reserved until reset
    if (m_interactive)
        m_driver->showDownloading(0, item.length);
    UpdateTransferJob *transfer
        = fetch(item.url, m_configuration.maxArchiveBytes, item.length, m_download->fileName());
    connect(transfer, &UpdateTransferJob::progress, this, [this](qint64 received, qint64 total) {
        if (m_interactive)
            m_driver->showDownloading(received, total);
    });
    const QByteArray raw = *signature;
    connect(transfer, &UpdateTransferJob::finished, this,
        [this, transfer, item, raw] { downloaded(transfer, item, raw); });
    transfer->start();
}

void Updater::downloaded(
    UpdateTransferJob *transfer, const AppcastItem &item, const QByteArray &signature)
{
    transfer->deleteLater();
    if (transfer->cancelled())
        return finishQuietly();
    if (!transfer->error().isEmpty())
        return fail(transfer->error());
    if (QFileInfo(m_download->fileName()).size() != item.length)
        return fail(
            QStringLiteral("The downloaded archive does not have the %1 bytes the feed announces.")
                .arg(item.length));
    const auto key = UpdateVerifier::decodePublicKey(m_configuration.publicKey);
    if (!key)
        return fail(
            QStringLiteral("This build has no valid key to check updates with (SUPublicEDKey)."));
    const QString path = m_download->fileName();
    const QByteArray publicKey = *key;
    m_verification.setFuture(QtConcurrent::run([path, signature, publicKey] {
        return UpdateVerifier::verifyFile(path, signature, publicKey);
    }));
}

void Updater::verified(const AppcastItem &item)
{
    if (m_interactive)
        m_driver->showInstalling();
    const InstallLocation &location = m_configuration.location;
    m_staging = std::make_unique<QTemporaryDir>(location.parentPath() + QLatin1Char('/')
        + location.leftoverPrefix() + QStringLiteral("update-XXXXXX"));
    if (!m_staging->isValid())
        return fail(QStringLiteral("The update could not be unpacked beside the install: %1.")
                        .arg(m_staging->errorString()));
    Q_UNUSED(item);
    m_unpacker->start(m_download->fileName(), m_staging->path());
}

void Updater::unpacked(const QString &error, const AppcastItem &item)
{
    if (m_cancelRequested)
        return finishQuietly();
    if (!error.isEmpty())
        return fail(error);
    m_download.reset();
    QString tree;
    try {
        tree = UpdateInstaller::unpackedTree(m_staging->path());
    } catch (const UpdateError &refusal) {
        return fail(refusal.description());
    }
    if (!m_installChosen) {
        // Downloaded in the background: swapped in when the program quits.
        m_stagedTree = tree;
        m_staged = item;
        m_busy = false;
        if (m_interactive)
            m_driver->showReadyOnQuit(item.displayVersion());
        m_interactive = false;
        Q_EMIT updateStaged(item.version);
        return;
    }
    try {
        UpdateInstaller::swapIn(tree, m_configuration.location);
    } catch (const UpdateError &refusal) {
        return fail(refusal.description());
    }
    m_staging.reset();
    m_busy = false;
    m_installChosen = false;
    m_driver->showInstalled(item.displayVersion());
    Q_EMIT updateInstalled(item.version);
}

void Updater::installStagedUpdate()
{
    if (m_stagedTree.isEmpty())
        return;
    const QString tree = std::exchange(m_stagedTree, QString());
    try {
        UpdateInstaller::swapIn(tree, m_configuration.location);
    } catch (const UpdateError &refusal) {
        m_staging.reset();
        Q_EMIT failed(refusal.description());
        return;
    }
    m_staging.reset();
    Q_EMIT updateInstalled(m_staged.version);
}

void Updater::clearWork()
{
    if (m_transfer) {
        m_transfer->disconnect(this);
        m_transfer->deleteLater();
    }
    m_download.reset();
    m_staging.reset();
    m_busy = false;
    m_installChosen = false;
}

void Updater::fail(const QString &reason)
{
    clearWork();
    if (m_interactive)
        m_driver->showError(reason);
    m_interactive = false;
    Q_EMIT failed(reason);
}

void Updater::finishQuietly()
{
    clearWork();
    m_interactive = false;
    m_driver->hide();
    Q_EMIT cancelled();
}
