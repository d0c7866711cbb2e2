#pragma once

#include "TaviError.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

// What a run of tavi-pack was asked to do, read from its arguments alone: no
// file is opened and nothing is sent while parsing.
namespace CommandLine {

// Exit statuses, as the manual page lists them.
enum Exit : int {
    ok = 0,
    // diff found a change, eval's checks failed, lint refused a file, publish
    // refused a stale file.
    different = 1,
    // Arguments, a file that cannot be read or is not a pack, a refused token file.
    usage = 2,
    // The pack service or the model failed.
    serviceFailed = 3,
    interrupted = 130,
};

// An error with the exit status it ends the run with. Its description is the
// one sentence printed on stderr.
class CliError : public TaviError
{
public:
    CliError(QString description, int exitCode)
        : TaviError(std::move(description))
        , m_exitCode(exitCode)
    { }
    int exitCode() const { return m_exitCode; }

private:
    int m_exitCode;
};

struct Invocation
{
    QString command; // empty with --help or --version alone
    bool help = false;
    bool version = false;
    std::optional<QString> tokenFile;
    QStringList positional;
    // Options that take a value (the last one given wins), and flags.
    QHash<QString, QString> values;
    QStringList flags;

    bool flag(const QString &name) const { return flags.contains(name); }
    std::optional<QString> value(const QString &name) const
    {
        const auto it = values.constFind(name);
        return it == values.constEnd() ? std::nullopt : std::optional<QString>(*it);
    }
};

// Throws CliError (usage) naming the offending argument.
Invocation parse(const QStringList &arguments);

// The help of one command, or of the program when `command` is empty.
QString helpText(const QString &command);

} // namespace CommandLine
