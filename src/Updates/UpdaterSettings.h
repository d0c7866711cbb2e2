#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantMap>

#include <optional>

// The updater's own store: its two settings and its bookkeeping. Nothing else
// in the program reads or writes this file. The store is read once when it is
// opened; every write changes it at once and is saved to disk on a worker
// thread (saving syncs the file, which can take long on a busy disk).
class UpdaterSettings
{
public:
    explicit UpdaterSettings(const QString &path);

    // <config home>/vuzev-tavi/updater.ini
    static QString defaultPath();
    // Blocks until every write so far is on disk; for the program's exit.
    static void waitForSaves();

    std::optional<bool> automaticallyChecks() const;
    void setAutomaticallyChecks(bool value);
    bool automaticallyDownloads() const;
    void setAutomaticallyDownloads(bool value);

    QDateTime lastCheckTime() const;
    void setLastCheckTime(const QDateTime &time);
    QString skippedVersion() const;
    void setSkippedVersion(const QString &version);
    int launchCount() const;
    void setLaunchCount(int count);
    bool askedAboutAutomaticChecks() const;
    void setAskedAboutAutomaticChecks(bool asked);

private:
    void write(const QString &key, const QVariant &value);

    QString m_path;
    QVariantMap m_values;
};
