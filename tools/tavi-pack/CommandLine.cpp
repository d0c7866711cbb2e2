#include "CommandLine.h"

namespace CommandLine {

namespace {

struct CommandInfo
{
    const char *name;
    // Options that take a value, then flags, without the leading dashes.
    QStringList valueOptions;
    QStringList flagOptions;
    int minPositional;
    int maxPositional; // -1: any number
    const char *needs; // what is missing when too few are given
    const char *help;
};

const QList<CommandInfo> &commands()
{
    static const QList<CommandInfo> table {
        {"pull", {QStringLiteral("output")}, {}, 0, 0, "",
            R"help(usage: tavi-pack pull [-o FILE]

Writes the live pack, as the service holds it, to FILE (replaced in one step)
or to standard output: the service's own bytes, not read and written again, so
pulling twice gives the same bytes as long as nothing was published in between.
The answer is refused (exit 3, nothing written) unless it is JSON in UTF-8 with
a "pack" object holding a string "version"; the rest of the pack is not checked
here: lint reads the file as strictly as the window does. The file's "version"
is the live version it was pulled at; publish checks it.

  -o, --output FILE   write to FILE instead of standard output ("-": stdout)
)help"},
        {"lint", {}, {}, 1, -1, "at least one FILE",
            R"help(usage: tavi-pack lint FILE...

Reads each FILE ("-": standard input) with the same strict reader the window
uses, and prints each error as "FILE: path: message". Sends nothing.
Exits 1 when any file fails.
)help"},
        {"diff", {}, {QStringLiteral("json")}, 1, 2, "the pack file B",
            R"help(usage: tavi-pack diff [--json] [A] B

Every difference between two packs, over the whole document: B against the
live pack, or B against A. Texts that differ only in their Unicode
normalisation are equal. Long texts get a word-level diff, insertions marked
{+like this+} and deletions [-like this-]; colours are added on a terminal
unless NO_COLOR is set.

  --json   a JSON list of changes: path, label, kind, before, after

Exits 0 when the packs are equal and 1 when they differ, as diff does.
)help"},
        {"preview", {}, {QStringLiteral("live"), QStringLiteral("json")}, 1, -1,
            "a pack FILE (or --live) and at least one MESSAGE",
            R"help(usage: tavi-pack preview FILE MESSAGE...
       tavi-pack preview --live MESSAGE...

Tavi's reply to each traveller MESSAGE under the pack in FILE, or under the
live pack, with its source: "apple-foundation" for the model on this machine
(TAVI_MODEL_URL, TAVI_MODEL), "mlx" for the pack service's own model, which
answers when the local one is not available.

  --live   preview under the live pack instead of a file
  --json   a JSON list of {message, reply, source} (and error when one failed)
)help"},
        {"eval", {QStringLiteral("cases")}, {QStringLiteral("json"), QStringLiteral("strict")}, 1,
            1, "the draft FILE",
            R"help(usage: tavi-pack eval FILE --cases CASES [--json] [--strict]

Previews every traveller message of the test set CASES ({"messages": [...]},
the window's test set format) under the draft in FILE and under the live pack,
side by side, and checks each reply against the rules of the pack it was made
under: the word limit (modules.reply_rules.max_words), the denied items
(modules.guardrails.deny) and empty replies. Prints a Markdown report, or JSON.

  --cases CASES   the test set file ("-": standard input)
  --json          the report as JSON
  --strict        exit 1 when the draft fails any check

Exits 1 when the draft fails more checks than live (or any, with --strict), 3
when a preview failed. Interrupted (Ctrl-C), it stops at once, prints the rows
that finished and exits 130. A progress line goes to standard error when both
outputs are a terminal.
)help"},
        {"publish", {}, {QStringLiteral("force")}, 1, 1, "the pack FILE",
            R"help(usage: tavi-pack publish [--force] FILE

Publishes the pack in FILE and prints the new live version. The file's
"version" must still be the live version: when someone has published since the
file was pulled, publish refuses (exit 1) instead of overwriting their work
unseen. Pull again and reapply the change, or give --force.

  --force   publish over whatever is live now
)help"},
        {"rollback", {}, {}, 0, 0, "",
            R"help(usage: tavi-pack rollback

Rolls the live pack back to the version live before it, and prints the version
that is live now.
)help"},
        {"history", {}, {QStringLiteral("json")}, 0, 0, "",
            R"help(usage: tavi-pack history [--json]

Lists the published versions, oldest first, with the time, the author and the
coach instruction of each, where the service keeps a history. The live version
is marked "*"; versions rolled back are marked "(rolled back)". Exits 3, saying
so, when the service offers no history.

  --json   the history as JSON
)help"},
    };
    return table;
}

const char programHelp[] = R"help(usage: tavi-pack [--token-file FILE] COMMAND [ARGS...]

The capability pack from the command line, for scripts and CI.

Commands:
  pull [-o FILE]                  write the live pack
  lint FILE...                    check pack files with the strict reader
  diff [A] B                      what B changes against live (or against A)
  preview FILE|--live MESSAGE...  Tavi's replies under a pack
  eval FILE --cases CASES         a test set under the draft and live, checked
  publish FILE                    publish, refusing a stale file
  rollback                        roll live back
  history                         the published versions

  tavi-pack COMMAND --help        the help of one command

The service is TAVI_API_BASE. The operator token comes from the environment
variable TAVI_OPERATOR_TOKEN, or from --token-file FILE, a file that only its
owner may read; it is never taken on the command line. The local model is set
up by TAVI_MODEL_URL, TAVI_MODEL and TAVI_MODEL_TIMEOUT, as for the window.

Exit status: 0 done; 1 different, checks failed or a file refused; 2 usage or
an unreadable file; 3 the service or the model failed; 130 interrupted.
)help";

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &entry : commands())
        if (name == QLatin1String(entry.name))
            return &entry;
    return nullptr;
}

[[noreturn]] void usageError(const QString &text)
{
    throw CliError(text, usage);
}

} // namespace

QString helpText(const QString &command)
{
    if (const CommandInfo *entry = findCommand(command))
        return QString::fromUtf8(entry->help);
    return QString::fromUtf8(programHelp);
}

Invocation parse(const QStringList &arguments)
{
    Invocation invocation;
    const CommandInfo *entry = nullptr;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool isOption = !optionsEnded && argument.startsWith(QLatin1Char('-'))
            && argument != QLatin1String("-");
        if (!isOption) {
            if (!entry) {
                entry = findCommand(argument);
                if (!entry)
                    usageError(QStringLiteral("\"%1\" is not a tavi-pack command; see "
                                              "tavi-pack --help.")
                                   .arg(argument));
                invocation.command = argument;
            } else {
                invocation.positional.append(argument);
            }
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name;
        std::optional<QString> attached;
        if (argument.startsWith(QLatin1String("--"))) {
            name = argument.mid(2);
            const qsizetype equals = name.indexOf(QLatin1Char('='));
            if (equals >= 0) {
                attached = name.mid(equals + 1);
                name.truncate(equals);
            }
        } else if (argument == QLatin1String("-h")) {
            name = QStringLiteral("help");
        } else if (argument == QLatin1String("-o")) {
            name = QStringLiteral("output");
        } else {
            name = argument;
        }
        const QString where = entry ? QStringLiteral("tavi-pack ") + QLatin1String(entry->name)
                                    : QStringLiteral("tavi-pack");
        auto takeValue = [&]() -> QString {
            if (attached)
                return *attached;
            if (i + 1 >= arguments.size())
                usageError(QStringLiteral("%1 needs a value; see %2 --help.").arg(argument, where));
            return arguments.at(++i);
        };
        if (name == QLatin1String("help") && !attached) {
            invocation.help = true;
        } else if (name == QLatin1String("version") && !entry && !attached) {
            invocation.version = true;
        } else if (name == QLatin1String("token-file")) {
            invocation.tokenFile = takeValue();
        } else if (name == QLatin1String("token")) {
            usageError(QStringLiteral("tavi-pack takes no token on the command line, where "
                                      "other users see it: set TAVI_OPERATOR_TOKEN or give "
                                      "--token-file FILE."));
        } else if (entry && entry->valueOptions.contains(name)) {
            invocation.values.insert(name, takeValue());
        } else if (entry && entry->flagOptions.contains(name) && !attached) {
            if (!invocation.flags.contains(name))
                invocation.flags.append(name);
        } else {
            usageError(QStringLiteral("%1 does not know the option %2; see %3 --help.")
                           .arg(where, argument, where));
        }
    }
    if (invocation.help || invocation.version)
        return invocation;
    if (!entry)
        usageError(QStringLiteral("tavi-pack needs a command; see tavi-pack --help."));
    // preview --live takes messages only; with a file, the first word is the file.
    int minimum = entry->minPositional;
    int maximum = entry->maxPositional;
    if (invocation.command == QLatin1String("preview") && !invocation.flag(QStringLiteral("live")))
        minimum = 2;
    const auto count = invocation.positional.size();
    const QString where = QStringLiteral("tavi-pack ") + QLatin1String(entry->name);
    if (count < minimum)
        usageError(QStringLiteral("%1 needs %2; see %1 --help.")
                       .arg(where, QString::fromUtf8(entry->needs)));
    if (maximum >= 0 && count > maximum)
        usageError(QStringLiteral("%1 takes %2, not \"%3\"; see %1 --help.")
                       .arg(where,
                           maximum == 0 ? QStringLiteral("no arguments")
                                        : QStringLiteral("at most %1").arg(maximum),
                           invocation.positional.at(maximum)));
    if (invocation.command == QLatin1String("eval") && !invocation.value(QStringLiteral("cases")))
        usageError(
            QStringLiteral("tavi-pack eval needs --cases CASES; see tavi-pack eval --help."));
    return invocation;
}

} // namespace CommandLine
