#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

// Where the running copy lives and whether the updater may replace it.
struct InstallLocation
{
    enum class Kind {
        SelfContained, // the tarball, in a folder the operator can write
        NotWritable, // the tarball, in a folder the operator cannot write
        PackageManager, // under /usr, from the Debian package
        Other, // a build tree or any other copy
    };

    Kind kind = Kind::Other;
    QString root; // the install root: the folder holding bin/ and share/

    // A copy is self-contained when its root holds the marker file.
    static InstallLocation detect(const QString &applicationDirPath);
    static InstallLocation forRoot(const QString &root);

    bool canInstall() const { return kind == Kind::SelfContained; }
    // Why no update is installed here; empty for a self-contained copy.
    QString note() const;
    QString parentPath() const;
    QString leftoverPrefix() const; // ".<root name>." in the parent folder
    QString previousPath() const; // where the replaced version is kept
};

namespace UpdateInstaller {

inline constexpr QLatin1StringView markerFile(".vuzev-tavi-self-contained");
inline constexpr QLatin1StringView programPath("bin/vuzev-tavi");

// What an interrupted download, unpack or swap (or a previous version kept
// until now) left beside the install; collected on the calling thread, cheap.
QStringList leftovers(const InstallLocation &location);
// Removes them; slow for large trees, so the updater runs it on a worker.
void removeLeftovers(const QStringList &paths);

// The single top folder of an unpacked archive, checked to be a self-contained
// copy; throws UpdateError otherwise.
QString unpackedTree(const QString &stagingDir);

// Swaps the unpacked tree and the install root in one atomic step
// (renameat2 with RENAME_EXCHANGE), then keeps the replaced version beside the
// root. A crash at any point leaves a complete version at the root. Throws
// UpdateError when the swap cannot be made atomically.
void swapIn(const QString &tree, const InstallLocation &location);

// Called with a stage name at each step of the swap; lets a test stop a child
// process at an exact point. Not set in the program.
void setPauseHookForTesting(std::function<void(const char *stage)> hook);

} // namespace UpdateInstaller

// Unpacks a .tar.gz with the system's tar, off the user-interface thread.
class ArchiveUnpacker : public QObject
{
    Q_OBJECT

public:
    explicit ArchiveUnpacker(QObject *parent = nullptr);
    void start(const QString &archive, const QString &stagingDir);
    void cancel();

Q_SIGNALS:
    // `error` is empty on success.
    void finished(const QString &error);

private:
    void finish(const QString &error);

    QProcess m_tar;
    QTimer m_deadline;
    bool m_done = false;
};
