#pragma once

#include "Appcast.h"
#include "UpdateInstaller.h"
#include "UpdaterClock.h"
#include "UpdaterSettings.h"

#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <memory>

class QTemporaryDir;
class QTemporaryFile;
class UpdateTransferJob;
class UpdaterUserDriver;

// Everything the updater is told from outside; the program takes it from the
// information dictionary, tests build their own.
struct UpdaterConfiguration
{
    QUrl feedUrl;
    QString publicKey; // base64 Ed25519 public key
    qint64 checkIntervalSeconds = 86'400;
    bool automaticChecksByDefault = true;
    InstallLocation location;
    QString settingsPath;
    qint64 maxFeedBytes = 4 << 20;
    qint64 maxArchiveBytes = qint64(1) << 30;
    int inactivityMs = 60'000;
    int totalMs = 15 * 60'000;

    static UpdaterConfiguration fromBundle();
};

// Checks a signed feed, downloads and verifies archives, and installs them into
// a self-contained copy. Lives on the user-interface thread; its network work,
// verification and unpacking never block it.
class Updater : public QObject
{
    Q_OBJECT

public:
    enum class CheckKind { UserInitiated, Scheduled };
    Q_ENUM(CheckKind)

    Updater(UpdaterConfiguration configuration, std::unique_ptr<UpdaterClock> clock,
        QObject *parent = nullptr);
    ~Updater() override;

    // Counts the launch, asks the automatic-check question on the second one,
    // tidies what an interrupted update left behind and schedules checks.
    void start();
    bool isStarted() const { return m_started; }

    // A user-initiated check: shows its outcome in the updater's dialogs and
    // offers a version the operator skipped.
    void checkForUpdates();
    // A scheduled check: silent unless there is something to offer.
    void checkInBackground();

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool value);
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool value);

    UpdaterUserDriver *userDriver() const { return m_driver; }
    const InstallLocation &location() const { return m_configuration.location; }
    bool isBusy() const { return m_busy; }
    bool hasStagedUpdate() const { return !m_stagedTree.isEmpty(); }

    // Swaps in an update that was downloaded in the background; run when the
    // program quits.
    void installStagedUpdate();

    // The running build, compared with the feed's versions.
    static QString runningVersion();
    static QString runningDisplayVersion();

Q_SIGNALS:
    void checkStarted(Updater::CheckKind kind);
    void settingsChanged();
    // Every outcome of a check or install ends in exactly one of these.
    void upToDate();
    void updateOffered(const QString &version);
    void updateStaged(const QString &version);
    void updateInstalled(const QString &version);
    void failed(const QString &reason);
    void cancelled();

private:
    void beginCheck(CheckKind kind);
    void scheduleNext();
    void feedArrived(UpdateTransferJob *transfer);
    void signatureArrived(UpdateTransferJob *transfer, const QByteArray &feed);
    void offer(const QList<AppcastItem> &items);
    void downloadAndStage(const AppcastItem &item);
    void downloaded(
        UpdateTransferJob *transfer, const AppcastItem &item, const QByteArray &signature);
    void verified(const AppcastItem &item);
    void unpacked(const QString &error, const AppcastItem &item);
    void fail(const QString &reason);
    void finishQuietly();
    void clearWork();
    UpdateTransferJob *fetch(
        const QUrl &url, qint64 maxBytes, qint64 expectedLength, const QString &filePath = {});

    UpdaterConfiguration m_configuration;
    std::unique_ptr<UpdaterClock> m_clock;
    UpdaterSettings m_settings;
    UpdaterUserDriver *m_driver;
    QThread m_networkThread; // every transfer runs here
    bool m_started = false;
    bool m_busy = false;
    bool m_interactive = false; // the outcome goes to the dialogs
    bool m_installChosen = false; // the operator pressed Install: swap in at once
    bool m_cancelRequested = false;
    CheckKind m_kind = CheckKind::Scheduled;
    AppcastItem m_offered;
    QPointer<UpdateTransferJob> m_transfer;
    std::unique_ptr<QTemporaryFile> m_download;
    std::unique_ptr<QTemporaryDir> m_staging;
    QFutureWatcher<bool> m_verification;
    class ArchiveUnpacker *m_unpacker;
    AppcastItem m_pendingItem; // the item being downloaded, verified or unpacked
    QString m_stagedTree;
    AppcastItem m_staged;
};
