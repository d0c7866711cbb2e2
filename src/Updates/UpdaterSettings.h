#pragma once

#include <QDateTime>
#include <QSettings>
#include <QString>

#include <optional>

// The updater's own store: its two settings and its bookkeeping. Nothing else
// in the program reads or writes this file. Every read goes to the store, so
// what the card shows is always what the updater holds.
class UpdaterSettings
{
public:
    explicit UpdaterSettings(const QString &path);

    // <config home>/vuzev-tavi/updater.ini
    static QString defaultPath();

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

    mutable QSettings m_store;
};
