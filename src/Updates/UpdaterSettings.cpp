#include "UpdaterSettings.h"

#include <QSettings>
#include <QStandardPaths>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

const QString kAutomaticallyChecks = QStringLiteral("automaticallyChecksForUpdates");
const QString kAutomaticallyDownloads = QStringLiteral("automaticallyDownloadsUpdates");
const QString kLastCheckTime = QStringLiteral("lastCheckTime");
const QString kSkippedVersion = QStringLiteral("skippedVersion");
const QString kLaunchCount = QStringLiteral("launchCount");
const QString kAsked = QStringLiteral("askedAboutAutomaticChecks");

// One writer for the whole process, so saves land in the order they were made;
// destroyed at exit after the last save.
struct Writer : QThreadPool
{
    Writer() { setMaxThreadCount(1); }
    ~Writer() override { waitForDone(); }
};
Q_GLOBAL_STATIC(Writer, writerPool)

QThreadPool &writer()
{
    return *writerPool();
}

} // namespace

UpdaterSettings::UpdaterSettings(const QString &path)
    : m_path(path)
{
    // Opening sees every save this process has made before.
    writer().waitForDone();
    const QSettings store(path, QSettings::IniFormat);
    for (const QString &key : store.allKeys())
        m_values.insert(key, store.value(key));
}

void UpdaterSettings::waitForSaves()
{
    writer().waitForDone();
}

QString UpdaterSettings::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/vuzev-tavi/updater.ini");
}

std::optional<bool> UpdaterSettings::automaticallyChecks() const
{
    const QVariant value = m_values.value(kAutomaticallyChecks);
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
    return m_values.value(kAutomaticallyDownloads, false).toBool();
}

void UpdaterSettings::setAutomaticallyDownloads(bool value)
{
    write(kAutomaticallyDownloads, value);
}

QDateTime UpdaterSettings::lastCheckTime() const
{
    return QDateTime::fromString(m_values.value(kLastCheckTime).toString(), Qt::ISODateWithMs);
}

void UpdaterSettings::setLastCheckTime(const QDateTime &time)
{
    write(kLastCheckTime, time.toUTC().toString(Qt::ISODateWithMs));
}

QString UpdaterSettings::skippedVersion() const
{
    return m_values.value(kSkippedVersion).toString();
}

void UpdaterSettings::setSkippedVersion(const QString &version)
{
    write(kSkippedVersion, version);
}

int UpdaterSettings::launchCount() const
{
    return m_values.value(kLaunchCount, 0).toInt();
}

void UpdaterSettings::setLaunchCount(int count)
{
    write(kLaunchCount, count);
}

bool UpdaterSettings::askedAboutAutomaticChecks() const
{
    return m_values.value(kAsked, false).toBool();
}

void UpdaterSettings::setAskedAboutAutomaticChecks(bool asked)
{
    write(kAsked, asked);
}

void UpdaterSettings::write(const QString &key, const QVariant &value)
{
    m_values.insert(key, value);
    (void)QtConcurrent::run(&writer(), [path = m_path, values = m_values] {
        QSettings store(path, QSettings::IniFormat);
        store.clear();
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            store.setValue(it.key(), it.value());
        store.sync();
    });
}
