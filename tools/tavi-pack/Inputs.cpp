#include "Inputs.h"

#include "CommandLine.h"
#include "TaviError.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using CommandLine::CliError;

namespace Inputs {

namespace {

QString reason(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("there is no such file");
    case EACCES:
        return QStringLiteral("permission denied");
    case EISDIR:
        return QStringLiteral("it is a directory");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// Reads a whole file through one descriptor: the checks made on it (a directory,
// its mode) are then about the very file that is read, not one swapped in since.
struct OpenFile
{
    int fd = -1;
    struct stat info
    { };
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

[[noreturn]] void unreadable(const QString &name, int error, int exitCode)
{
    throw CliError(QStringLiteral("Could not read %1: %2.").arg(name, reason(error)), exitCode);
}

void openFile(OpenFile &file, const QString &name, int exitCode)
{
    file.fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0)
        unreadable(name, errno, exitCode);
    if (::fstat(file.fd, &file.info) != 0)
        unreadable(name, errno, exitCode);
    if (S_ISDIR(file.info.st_mode))
        unreadable(name, EISDIR, exitCode);
}

QByteArray readAll(int fd, qsizetype sizeHint, const QString &name, int exitCode)
{
    QByteArray bytes;
    bytes.resize(sizeHint > 0 ? sizeHint + 1 : 64 * 1024);
    qsizetype used = 0;
    for (;;) {
        if (used == bytes.size())
            bytes.resize(bytes.size() * 2);
        const ssize_t got
            = ::read(fd, bytes.data() + used, static_cast<size_t>(bytes.size() - used));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            unreadable(name, errno, exitCode);
        }
        if (got == 0)
            break;
        used += got;
    }
    bytes.truncate(used);
    return bytes;
}

QByteArray readFileOr(const QString &name, int exitCode)
{
    if (name == QLatin1String("-"))
        return readAll(STDIN_FILENO, 0, QStringLiteral("standard input"), exitCode);
    OpenFile file;
    openFile(file, name, exitCode);
    return readAll(file.fd, static_cast<qsizetype>(file.info.st_size), name, exitCode);
}

// "FILE: path: problem", the place first so that editors and CI annotations
// can jump to it; a text that is no JSON at all has no path.
QString lintLine(const QString &name, const JsonReadError &error)
{
    if (error.problem().isEmpty())
        return name + QStringLiteral(": ") + error.description();
    const QString path = error.path().isEmpty() ? QStringLiteral("(document)") : error.path();
    return name + QStringLiteral(": ") + path + QStringLiteral(": ") + error.problem();
}

} // namespace

QByteArray readFile(const QString &name)
{
    return readFileOr(name, CommandLine::usage);
}

CapabilityPack readPack(const QString &name, int exitCode)
{
    const QByteArray bytes = readFileOr(name, exitCode);
    if (bytes.isEmpty())
        throw CliError(name + QStringLiteral(": the file is empty, not a pack."), exitCode);
    try {
        return CapabilityPack::fromJson(bytes);
    } catch (const JsonReadError &error) {
        throw CliError(lintLine(name, error), exitCode);
    }
}

QString lint(const QString &name)
{
    try {
        readPack(name, CommandLine::different);
    } catch (const CliError &error) {
        return error.description();
    }
    return QString();
}

QString operatorToken(const std::optional<QString> &tokenFile)
{
    if (!tokenFile)
        return qEnvironmentVariable("TAVI_OPERATOR_TOKEN");
    OpenFile file;
    openFile(file, *tokenFile, CommandLine::usage);
    // A token in a file the group or everybody may read is as good as published.
    if ((file.info.st_mode & (S_IRGRP | S_IROTH)) != 0)
        throw CliError(QStringLiteral("The token file %1 is readable by other users (mode %2): "
                                      "make it private with chmod 600 %1.")
                           .arg(*tokenFile,
                               QString::number(file.info.st_mode & 07777, 8)
                                   .rightJustified(4, QLatin1Char('0'))),
            CommandLine::usage);
    QByteArray bytes = readAll(
        file.fd, static_cast<qsizetype>(file.info.st_size), *tokenFile, CommandLine::usage);
    // Written by an editor or echo, the file ends in a line break that is not
    // part of the token.
    while (bytes.endsWith('\n') || bytes.endsWith('\r'))
        bytes.chop(1);
    if (bytes.isEmpty())
        throw CliError(QStringLiteral("The token file %1 holds no token.").arg(*tokenFile),
            CommandLine::usage);
    return QString::fromUtf8(bytes);
}

} // namespace Inputs
