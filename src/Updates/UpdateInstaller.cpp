#include "UpdateInstaller.h"

#include "UpdateError.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

std::function<void(const char *)> &pauseHook()
{
    static std::function<void(const char *)> hook;
    return hook;
}

void pausePoint(const char *stage)
{
    if (pauseHook())
        pauseHook()(stage);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

InstallLocation InstallLocation::detect(const QString &applicationDirPath)
{
    const QString root = QDir::cleanPath(applicationDirPath + QStringLiteral("/.."));
    if (QFileInfo::exists(root + QLatin1Char('/') + UpdateInstaller::markerFile))
        return forRoot(root);
    if (QDir::cleanPath(applicationDirPath).startsWith(QStringLiteral("/usr/")))
        return {Kind::PackageManager, root};
    return {Kind::Other, root};
}

InstallLocation InstallLocation::forRoot(const QString &root)
{
    InstallLocation location {Kind::SelfContained, QDir::cleanPath(root)};
    if (!QFileInfo(location.parentPath()).isWritable() || !QFileInfo(location.root).isWritable())
        location.kind = Kind::NotWritable;
    return location;
}

QString InstallLocation::note() const
{
    switch (kind) {
    case Kind::SelfContained:
        return {};
    case Kind::NotWritable:
        return QStringLiteral("Vuzev Tavi cannot update itself here: the folder it is installed in "
                              "is not writable.");
    case Kind::PackageManager:
        return QStringLiteral("Updates for this copy of Vuzev Tavi come from the system's package "
                              "manager.");
    case Kind::Other:
        break;
    }
    return QStringLiteral("This copy of Vuzev Tavi is not a self-contained install and does not "
                          "update itself.");
}

QString InstallLocation::parentPath() const
{
    return QFileInfo(root).absolutePath();
}

QString InstallLocation::leftoverPrefix() const
{
    return QLatin1Char('.') + QFileInfo(root).fileName() + QLatin1Char('.');
}

QString InstallLocation::previousPath() const
{
    return parentPath() + QLatin1Char('/') + leftoverPrefix() + QStringLiteral("previous");
}

QStringList UpdateInstaller::leftovers(const InstallLocation &location)
{
    if (!location.canInstall())
        return {};
    const QString prefix = location.leftoverPrefix();
    QStringList paths;
    const QDir parent(location.parentPath());
    const auto entries = parent.entryList({prefix + QLatin1Char('*')},
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        const QString rest = name.mid(prefix.size());
        if (rest.startsWith(u"download-") || rest.startsWith(u"update-") || rest == u"previous")
            paths.append(parent.filePath(name));
    }
    return paths;
}

void UpdateInstaller::removeLeftovers(const QStringList &paths)
{
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink())
            QDir(path).removeRecursively();
        else
            QFile::remove(path);
    }
}

QString UpdateInstaller::unpackedTree(const QString &stagingDir)
{
    const QFileInfoList entries
        = QDir(stagingDir)
              .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (entries.size() != 1 || !entries.first().isDir() || entries.first().isSymLink())
        throw UpdateError(QStringLiteral("The update archive does not hold a single top folder."));
    const QString tree = entries.first().absoluteFilePath();
    const QFileInfo program(tree + QLatin1Char('/') + programPath);
    if (!QFileInfo(tree + QLatin1Char('/') + markerFile).isFile() || !program.isFile()
        || !program.isExecutable())
        throw UpdateError(QStringLiteral("The update archive is not a self-contained copy of "
                                         "Vuzev Tavi."));
    return tree;
}

void UpdateInstaller::swapIn(const QString &tree, const InstallLocation &location)
{
    const QByteArray treePath = QFile::encodeName(tree);
    const QByteArray rootPath = QFile::encodeName(location.root);
    pausePoint("before-exchange");
    if (::renameat2(AT_FDCWD, treePath.constData(), AT_FDCWD, rootPath.constData(), RENAME_EXCHANGE)
        != 0) {
        throw UpdateError(
            QStringLiteral("The new version could not be swapped in: %1.").arg(systemError(errno)));
    }
    // From here the root holds the new version; what follows only tidies up.
    pausePoint("exchanged");
    const QString previous = location.previousPath();
    if (QFileInfo::exists(previous)) {
        // Renamed aside rather than deleted here: it is removed on the next start.
        const QString aside = location.parentPath() + QLatin1Char('/') + location.leftoverPrefix()
            + QStringLiteral("update-old");
        removeLeftovers({aside});
        QFile::rename(previous, aside);
    }
    QFile::rename(tree, previous);
    QDir().rmdir(QFileInfo(tree).absolutePath());
    pausePoint("kept-previous");
}

void UpdateInstaller::setPauseHookForTesting(std::function<void(const char *)> hook)
{
    pauseHook() = std::move(hook);
}

ArchiveUnpacker::ArchiveUnpacker(QObject *parent)
    : QObject(parent)
    , m_tar(this)
    , m_deadline(this)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_tar.kill();
        finish(QStringLiteral("Unpacking the update took too long."));
    });
    connect(&m_tar, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0) {
            finish(QStringLiteral("The update archive could not be unpacked: %1")
                       .arg(QString::fromLocal8Bit(m_tar.readAllStandardError()).trimmed()));
            return;
        }
        finish({});
    });
    connect(&m_tar, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(QStringLiteral("The update archive could not be unpacked: tar did not start."));
    });
}

void ArchiveUnpacker::start(const QString &archive, const QString &stagingDir)
{
    m_done = false;
    m_tar.setProcessChannelMode(QProcess::SeparateChannels);
    m_tar.setStandardOutputFile(QProcess::nullDevice());
    m_deadline.start(5 * 60 * 1000);
    // The system's own tools, never whatever PATH finds first, and nothing from
    // the environment: TAR_OPTIONS could add --absolute-names, which lets
    // members land outside the staging folder (by a leading "/" or a ".."). With
    // no PATH, tar finds gzip in the C library's default, the system folders.
    const QStringList system {QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
    m_tar.setProcessEnvironment(QProcessEnvironment());
    // Background work at a lower priority, so the user-interface thread keeps
    // the processor first.
    m_tar.start(QStandardPaths::findExecutable(QStringLiteral("nice"), system),
        {QStringLiteral("-n"), QStringLiteral("10"),
            QStandardPaths::findExecutable(QStringLiteral("tar"), system),
            QStringLiteral("--extract"), QStringLiteral("--gzip"),
            QStringLiteral("--no-same-owner"), QStringLiteral("--no-same-permissions"),
            QStringLiteral("--file"), archive, QStringLiteral("--directory"), stagingDir});
}

void ArchiveUnpacker::cancel()
{
    if (m_tar.state() == QProcess::NotRunning)
        return;
    m_tar.kill();
    finish(QStringLiteral("Cancelled."));
}

void ArchiveUnpacker::finish(const QString &error)
{
    if (m_done)
        return;
    m_done = true;
    m_deadline.stop();
    Q_EMIT finished(error);
}
