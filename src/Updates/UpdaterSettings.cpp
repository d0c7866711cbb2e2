#include "UpdaterSettings.h"

#include <QStandardPaths>

namespace {

const QString kAutomaticallyChecks = QStringLiteral("automaticallyChecksForUpdates");
const QString kAutomaticallyDownloads = QStringLiteral("automaticallyDownloadsUpdates");
const QString kLastCheckTime = QStringLiteral("lastCheckTime");
const QString kSkippedVersion = QStringLiteral("skippedVersion");
const QString kLaunchCount = QStringLiteral("launchCount");
const QString kAsked = QStringLiteral("askedAboutAutomaticChecks");

} // namespace

UpdaterSettings::UpdaterSettings(const QString &path)
    : m_store(path, QSettings::IniFormat)
{ }

QString UpdaterSettings::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/vuzev-tavi/updater.ini");
}

std::optional<bool> UpdaterSettings::automaticallyChecks() const
{
    const QVariant value = m_store.value(kAutomaticallyChecks);
    if (!value.isValid())
        return std::nullopt;
    return value.toBool();
}

void UpdaterSettings::setAutomaticallyChecks(bool value)
{
    write(kAutomaticallyChecks, value);
}

bool UpdaterSettings::automaticallyDownloads() const
{
    return m_store.value(kAutomaticallyDownloads, false).toBool();
}

void UpdaterSettings::setAutomaticallyDownloads(bool value)
{
    write(kAutomaticallyDownloads, value);
}

QDateTime UpdaterSettings::lastCheckTime() const
{
    return QDateTime::fromString(m_store.value(kLastCheckTime).toString(), Qt::ISODateWithMs);
}

void UpdaterSettings::setLastCheckTime(const QDateTime &time)
{
    write(kLastCheckTime, time.toUTC().toString(Qt::ISODateWithMs));
}

QString UpdaterSettings::skippedVersion() const
{
    return m_store.value(kSkippedVersion).toString();
}

void UpdaterSettings::setSkippedVersion(const QString &version)
{
    write(kSkippedVersion, version);
}

int UpdaterSettings::launchCount() const
{
    return m_store.value(kLaunchCount, 0).toInt();
}

void UpdaterSettings::setLaunchCount(int count)
{
    write(kLaunchCount, count);
}

bool UpdaterSettings::askedAboutAutomaticChecks() const
{
    return m_store.value(kAsked, false).toBool();
}

void UpdaterSettings::setAskedAboutAutomaticChecks(bool asked)
{
    write(kAsked, asked);
}

void UpdaterSettings::write(const QString &key, const QVariant &value)
{
    m_store.setValue(key, value);
    m_store.sync();
}
