#include "Commands.h"

#include "CapabilityPack.h"
#include "Inputs.h"
#include "PackAPI.h"
#include "PackAPIError.h"
#include "PackAnswer.h"
#include "PackHistory.h"
#include "TaviCoach.h"
#include "TaviError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include "PackDiff.h"
#include "ReviewRunner.h"
#include "TestSet.h"

#include <cstdio>
#include <unistd.h>

using namespace CommandLine;

namespace Commands {

namespace {

// GCC 12 destroys twice the temporaries of a statement that holds a co_await:
// every task below is made in a statement of its own, then awaited.

void writeOut(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

void writeOut(const QString &text)
{
    writeOut(text.toUtf8());
}

void writeError(const QString &sentence)
{
    const QByteArray line = sentence.toUtf8() + '\n';
    std::fflush(stdout);
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

QByteArray jsonText(const QJsonValue &value)
{
    QByteArray text = value.isArray()
        ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Indented)
        : QJsonDocument(value.toObject()).toJson(QJsonDocument::Indented);
    return text;
}

QJsonValue optionalJson(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

PackAPI serviceClient(const Invocation &invocation)
{
    return PackAPI {PackAPI::defaultBase(), Inputs::operatorToken(invocation.tokenFile)};
}

QCoro::Task<CapabilityPack> livePack(const Invocation &invocation)
{
    const PackAPI api = serviceClient(invocation);
    QCoro::Task<CapabilityPack> fetching = api.current();
    co_return co_await std::move(fetching);
}

QCoro::Task<int> pull(const Invocation &invocation)
{
    const PackAPI api = serviceClient(invocation);
    QCoro::Task<QByteArray> fetching = api.currentAnswer();
    const QByteArray answer = co_await std::move(fetching);
    // The service's own bytes, not the pack read and written again: that is what
    // it holds, and reading a large pack strictly costs more than fetching it.
    const QByteArrayView pack = PackAnswer::packText(answer);
    const auto output = invocation.value(QStringLiteral("output"));
    if (!output || *output == QLatin1String("-")) {
        std::fwrite(pack.data(), 1, static_cast<size_t>(pack.size()), stdout);
        std::fputc('\n', stdout);
        co_return ok;
    }
    // Replaced in one step: a reader of the file never sees half a pack, and a
    // failed pull leaves the previous one as it was.
    QSaveFile file(*output);
    if (!file.open(QIODevice::WriteOnly) || file.write(pack.data(), pack.size()) != pack.size()
        || !file.putChar('\n') || !file.commit())
        throw CliError(
            QStringLiteral("Could not write %1: %2.").arg(*output, file.errorString()), usage);
    co_return ok;
}

QCoro::Task<int> publish(const Invocation &invocation)
{
    const QString name = invocation.positional.constFirst();
    CapabilityPack pack = Inputs::readPack(name, usage);
    const PackAPI api = serviceClient(invocation);
    QCoro::Task<CapabilityPack> fetching = api.current();
    const CapabilityPack live = co_await std::move(fetching);
    // Checked here and not left to the service: not every service refuses a
    // draft made from an older version, and the work it would overwrite is
    // another operator's.
    if (pack.version != live.version) {
        if (!invocation.flag(QStringLiteral("force")))
            throw CliError(QStringLiteral("%1 was made from version %2, but %3 is live now: pull "
                                          "again and reapply the change, or publish with --force "
                                          "to replace %3.")
                               .arg(name, pack.version, live.version),
                different);
        pack.version = live.version;
    }
    QCoro::Task<CapabilityPack> publishing = api.publish(pack);
    // Caught whole and looked at outside: with GCC 12, an exception that passes
    // a try block around a co_await uncaught leaks the awaited frame.
    std::exception_ptr failure;
    std::optional<CapabilityPack> published;
    try {
        published = co_await std::move(publishing);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const PackAPIError &error) {
            // Someone published between the check and the publish.
            if (error.status() == 409)
                throw CliError(error.description(), different);
            throw;
        }
    }
    writeOut(published->version + QLatin1Char('\n'));
    co_return ok;
}

QCoro::Task<int> rollback(const Invocation &invocation)
{
    const PackAPI api = serviceClient(invocation);
    QCoro::Task<CapabilityPack> rolling = api.rollback();
    const CapabilityPack live = co_await std::move(rolling);
    writeOut(live.version + QLatin1Char('\n'));
    co_return ok;
}

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

QCoro::Task<int> history(const Invocation &invocation)
{
    const PackAPI api = serviceClient(invocation);
    QCoro::Task<PackHistory> asking = fetchPackHistory(api);
    const PackHistory history = co_await std::move(asking);
    if (invocation.flag(QStringLiteral("json"))) {
        QJsonArray versions;
        for (const PackHistory::Entry &entry : history.versions)
            versions.append(QJsonObject {{QStringLiteral("version"), entry.version},
                {QStringLiteral("parent_version"), optionalJson(entry.parentVersion)},
                {QStringLiteral("created_at"), optionalJson(entry.createdAt)},
                {QStringLiteral("author"), optionalJson(entry.author)},
                {QStringLiteral("coach_model"), optionalJson(entry.coachModel)},
                {QStringLiteral("coach_instruction"), optionalJson(entry.coachInstruction)},
                {QStringLiteral("live"), history.liveVersion == entry.version},
                {QStringLiteral("rolled_back"), entry.inLiveChain == false}});
        writeOut(jsonText(
            QJsonObject {{QStringLiteral("live_version"), optionalJson(history.liveVersion)},
                {QStringLiteral("versions"), versions}}));
        co_return ok;
    }
    // Columns as wide as their widest cell; the instruction, free text, last.
    QList<QStringList> rows {{QStringLiteral("  VERSION"), QStringLiteral("PUBLISHED"),
        QStringLiteral("AUTHOR"), QStringLiteral("COACH INSTRUCTION")}};
    for (const PackHistory::Entry &entry : history.versions) {
        QString instruction
            = entry.coachInstruction ? oneLine(*entry.coachInstruction) : QStringLiteral("-");
        if (entry.inLiveChain == false)
            instruction += QStringLiteral(" (rolled back)");
        rows.append(
            {(history.liveVersion == entry.version ? QStringLiteral("* ") : QStringLiteral("  "))
                    + entry.version,
                entry.createdAt.value_or(QStringLiteral("-")),
                entry.author.value_or(QStringLiteral("-")), instruction});
    }
    QList<qsizetype> widths(3, 0);
    for (const QStringList &row : rows)
        for (int column = 0; column < 3; ++column)
            widths[column] = std::max(widths[column], row.at(column).size());
    QString text;
    for (const QStringList &row : rows) {
        for (int column = 0; column < 3; ++column)
            text += row.at(column).leftJustified(widths[column] + 2);
        text += row.at(3) + QLatin1Char('\n');
    }
    writeOut(text);
    co_return ok;
}

QCoro::Task<int> preview(const Invocation &invocation)
{
    QStringList messages = invocation.positional;
    const bool underLive = invocation.flag(QStringLiteral("live"));
    const PackAPI api = serviceClient(invocation);
    CapabilityPack pack;
    if (underLive) {
        QCoro::Task<CapabilityPack> fetching = api.current();
        pack = co_await std::move(fetching);
    } else {
        pack = Inputs::readPack(messages.takeFirst(), usage);
    }
    const bool json = invocation.flag(QStringLiteral("json"));
    QJsonArray rows;
    int status = ok;
    for (const QString &message : std::as_const(messages)) {
        QJsonObject row {{QStringLiteral("message"), message}};
        // The window's route: the model on this machine first, the service's
        // when that one is not available; a local model that fails is reported,
        // not replaced.
        try {
            QCoro::Task<std::optional<QString>> local = TaviCoach::applePreview(message, pack);
            std::optional<QString> reply = co_await std::move(local);
            CoachSource source = CoachSource::appleFoundation;
            if (!reply) {
                QCoro::Task<QString> remote = api.preview(message, pack);
                reply = co_await std::move(remote);
                source = CoachSource::mlx;
            }
            row.insert(QStringLiteral("reply"), *reply);
            row.insert(QStringLiteral("source"), rawValue(source));
            if (!json)
                writeOut(QStringLiteral("Traveller: %1\nTavi (via %2): %3\n\n")
                             .arg(message, rawValue(source), *reply));
        } catch (const TaviError &error) {
            row.insert(QStringLiteral("error"), error.description());
            writeError(error.description());
            status = serviceFailed;
        }
        rows.append(row);
    }
    if (json)
        writeOut(jsonText(rows));
    co_return status;
}

bool colourWanted()
{
    // https://no-color.org: set and not empty turns colour off.
    return isTerminal(STDOUT_FILENO) && qEnvironmentVariable("NO_COLOR").isEmpty()
        && qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

QCoro::Task<int> diff(const Invocation &invocation)
{
    const QString newer = invocation.positional.constLast();
    const CapabilityPack to = Inputs::readPack(newer, usage);
    CapabilityPack from;
    if (invocation.positional.size() == 2) {
        from = Inputs::readPack(invocation.positional.constFirst(), usage);
    } else {
        QCoro::Task<CapabilityPack> fetching = livePack(invocation);
        from = co_await std::move(fetching);
    }
    const QList<PackDiff::Change> changes = PackDiff::diff(from, to);
    if (invocation.flag(QStringLiteral("json")))
        writeOut(jsonText(PackDiff::toJson(changes)));
    else
        writeOut(PackDiff::toPlainText(changes, colourWanted()));
    co_return changes.isEmpty() ? ok : different;
}

ReviewRunner *g_runner = nullptr;
bool g_interrupted = false;

QString kindName(ReplyChecks::Failure::Kind kind)
{
    switch (kind) {
    case ReplyChecks::Failure::Kind::overWordLimit:
        return QStringLiteral("over_word_limit");
    case ReplyChecks::Failure::Kind::deniedItem:
        return QStringLiteral("denied_item");
    case ReplyChecks::Failure::Kind::emptyReply:
        return QStringLiteral("empty_reply");
    }
    Q_UNREACHABLE();
}

QJsonObject replyJson(const ReviewRunner::Reply &reply)
{
    QJsonArray failures;
    for (const ReplyChecks::Failure &failure : reply.failures)
        failures.append(QJsonObject {{QStringLiteral("kind"), kindName(failure.kind)},
            {QStringLiteral("text"), failure.text}});
    return QJsonObject {{QStringLiteral("done"), reply.done},
        {QStringLiteral("text"),
            reply.done && !reply.error ? QJsonValue(reply.text) : QJsonValue()},
        {QStringLiteral("source"),
            reply.source ? QJsonValue(rawValue(*reply.source)) : QJsonValue()},
        {QStringLiteral("error"), optionalJson(reply.error)},
        {QStringLiteral("failures"), failures}};
}

QJsonObject summaryJson(const ReviewRunner::Summary &summary)
{
    return QJsonObject {{QStringLiteral("over_word_limit"), summary.overWordLimit},
        {QStringLiteral("denied_item"), summary.deniedItem},
        {QStringLiteral("empty_reply"), summary.emptyReply},
        {QStringLiteral("errors"), summary.errors},
        {QStringLiteral("failed_checks"), summary.total()}};
}

QCoro::Task<int> eval(const Invocation &invocation)
{
    const CapabilityPack draft = Inputs::readPack(invocation.positional.constFirst(), usage);
    const QString casesFile = *invocation.value(QStringLiteral("cases"));
    QStringList messages;
    try {
        messages = TestSet::fromJson(Inputs::readFile(casesFile), casesFile);
    } catch (const CliError &) {
        throw;
    } catch (const TaviError &error) {
        throw CliError(error.description(), usage);
    }
    const PackAPI api = serviceClient(invocation);
    QCoro::Task<CapabilityPack> fetching = api.current();
    const CapabilityPack live = co_await std::move(fetching);

    ReviewRunner runner;
    // The progress line only where someone watches it; a log keeps no \r noise.
    const bool progress = isTerminal(STDOUT_FILENO) && isTerminal(STDERR_FILENO);
    if (progress)
        QObject::connect(&runner, &ReviewRunner::progressChanged, &runner, [&runner] {
            std::fprintf(stderr, "\r%d of %d", runner.finished(), runner.total());
            std::fflush(stderr);
        });
    g_runner = &runner;
    QCoro::Task<> running = runner.run(api, draft, live, messages);
    co_await std::move(running);
    // Resumed only once the requests in flight have ended, the aborted ones
    // too: nothing of theirs outlives the process's exit.
    g_runner = nullptr;
    if (progress)
        std::fputs("\r\033[K", stderr);

    const ReviewRunner::Summary drafted = runner.draftSummary();
    const ReviewRunner::Summary lived = runner.liveSummary();
    if (invocation.flag(QStringLiteral("json"))) {
        QJsonArray rows;
        for (const ReviewRunner::Row &row : runner.rows())
            rows.append(QJsonObject {{QStringLiteral("message"), row.message},
                {QStringLiteral("draft"), replyJson(row.draft)},
                {QStringLiteral("live"), replyJson(row.live)}});
        writeOut(jsonText(QJsonObject {{QStringLiteral("complete"), !g_interrupted},
            {QStringLiteral("summary"), runner.summaryText()},
            {QStringLiteral("draft"), summaryJson(drafted)},
            {QStringLiteral("live"), summaryJson(lived)}, {QStringLiteral("rows"), rows}}));
    } else {
        // The runner's own report, its summary line included.
        writeOut(runner.toMarkdown());
    }
    if (g_interrupted)
        co_return interrupted;
    if (drafted.errors > 0 || lived.errors > 0) {
        writeError(QStringLiteral("%1 of %2 previews failed; the report shows their errors.")
                       .arg(drafted.errors + lived.errors)
                       .arg(runner.total()));
        co_return serviceFailed;
    }
    if (drafted.total() > lived.total()
        || (invocation.flag(QStringLiteral("strict")) && drafted.total() > 0))
        co_return different;
    co_return ok;
}

QCoro::Task<int> dispatch(const Invocation &invocation)
{
    const QString &command = invocation.command;
    QCoro::Task<int> task = command == QLatin1String("pull") ? pull(invocation)
        : command == QLatin1String("publish")                ? publish(invocation)
        : command == QLatin1String("rollback")               ? rollback(invocation)
        : command == QLatin1String("history")                ? history(invocation)
        : command == QLatin1String("preview")                ? preview(invocation)
        : command == QLatin1String("diff")                   ? diff(invocation)
                                                             : eval(invocation);
    co_return co_await std::move(task);
}

} // namespace

QCoro::Task<int> run(Invocation invocation)
{
    int status = ok;
    try {
        QCoro::Task<int> task = dispatch(invocation);
        status = co_await std::move(task);
    } catch (const CliError &error) {
        writeError(error.description());
        status = error.exitCode();
    } catch (const TaviError &error) {
        writeError(error.description());
        status = serviceFailed;
    }
    std::fflush(stdout);
    co_return status;
}

int lint(const Invocation &invocation)
{
    int status = ok;
    for (const QString &name : invocation.positional) {
        const QString problem = Inputs::lint(name);
        if (problem.isEmpty())
            continue;
        writeOut(problem + QLatin1Char('\n'));
        status = different;
    }
    return status;
}

void interrupt()
{
    if (g_runner) {
        g_interrupted = true;
        g_runner->cancel();
        return;
    }
    // Nothing has finished that could be printed: stop as the default action would.
    std::fflush(stdout);
    std::_Exit(interrupted);
}

} // namespace Commands
