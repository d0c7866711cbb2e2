#include "ReviewRunner.h"

#include "LanguageModel.h"
#include "TaviError.h"

#include <QCoreApplication>
#include <QCoroSignal>

#include <exception>

namespace {

// "|" ends a table cell and a line break ends the row.
QString cell(QString text)
{
    text.replace(QLatin1Char('|'), QStringLiteral("\\|"));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("<br>"));
    text.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    return text;
}

} // namespace

// One run's dispatch state. The requests in flight share it, so that they can
// come back and find it after the runner (and its window) are gone.
class ReviewRunner::Run : public QObject
{
    Q_OBJECT
public:
    PackAPI api;
    CapabilityPack packs[2]; // draft, live
    // Written once for all the service's requests, when the run starts on it.
    std::optional<PackAPI::PreparedPack> prepared[2];
    QStringList messages;
    CancellationHandle cancellation = std::make_shared<Cancellation>();
    qsizetype next = 0; // the next reply to ask for: message next / 2, draft then live
    int inFlight[2] = {0, 0}; // by lane
    bool ended = false;
    bool settled = false;
    bool pumping = false;
    bool pumpAgain = false;

    qsizetype total() const { return 2 * messages.size(); }

    // Once ended and every reply it started has returned. An end aborts the
    // requests in flight, but their aborts arrive from the event loop: until
    // then their frames (and a process that exits early, their memory) are
    // still there. Signalled from the event loop, so that the last reply's own
    // frame is gone too when whoever waits resumes.
    void settleWhenIdle(const std::shared_ptr<Run> &self)
    {
        if (!ended || inFlight[0] > 0 || inFlight[1] > 0 || settling)
            return;
        settling = true;
        // Held by the call, so that it outlives a runner destroyed meanwhile; the
        // application is the receiver, not the run that the call may free.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                self->settled = true;
                Q_EMIT self->finished();
            },
            Qt::QueuedConnection);
    }

Q_SIGNALS:
    // The run has ended and none of its requests is still in flight.
    void finished();

private:
    bool settling = false;
};

struct ReviewRunner::State
{
    // Cleared first in the destructor: coroutines that outlive the runner check it
    // after every suspension before they touch it.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    QList<Row> rows;
    int finished = 0;
    std::shared_ptr<Run> run; // the run under way, if any
    std::optional<CapabilityPack> draft;
    std::optional<CapabilityPack> live;
};

ReviewRunner::ReviewRunner(QObject *parent)
    : QObject(parent)
    , m_state(std::make_unique<State>())
{ }

ReviewRunner::~ReviewRunner()
{
    *m_state->alive = false;
    if (const std::shared_ptr<Run> run = std::exchange(m_state->run, nullptr)) {
        run->cancellation->cancel();
        run->ended = true;
        run->settleWhenIdle(run);
    }
}

bool ReviewRunner::running() const
{
    return m_state->run != nullptr;
}

const QList<ReviewRunner::Row> &ReviewRunner::rows() const
{
    return m_state->rows;
}

int ReviewRunner::total() const
{
    return int(2 * m_state->rows.size());
}

int ReviewRunner::finished() const
{
    return m_state->finished;
}

std::optional<CapabilityPack> ReviewRunner::draftPack() const
{
    return m_state->draft;
}

std::optional<CapabilityPack> ReviewRunner::livePack() const
{
    return m_state->live;
}

void ReviewRunner::start(
    PackAPI api, CapabilityPack draft, CapabilityPack live, QStringList messages)
{
    begin(std::move(api), std::move(draft), std::move(live), std::move(messages));
}

QCoro::Task<> ReviewRunner::run(
    PackAPI api, CapabilityPack draft, CapabilityPack live, QStringList messages)
{
    const std::shared_ptr<Run> run
        = begin(std::move(api), std::move(draft), std::move(live), std::move(messages));
    if (run->settled)
        co_return;
    auto settled = qCoro(run.get(), &Run::finished);
    co_await settled;
}

void ReviewRunner::cancel()
{
    const std::shared_ptr<Run> run = m_state->run;
    if (!run)
        return;
    // Aborts every request in flight (from the event loop); none starts after this.
    run->cancellation->cancel();
    end(run);
}

std::shared_ptr<ReviewRunner::Run> ReviewRunner::begin(
    PackAPI api, CapabilityPack draft, CapabilityPack live, QStringList messages)
{
    cancel();
    auto run = std::make_shared<Run>();
    run->api = std::move(api);
    run->packs[0] = draft;
    run->packs[1] = live;
    run->messages = std::move(messages);

    m_state->draft = std::move(draft);
    m_state->live = std::move(live);
    m_state->rows.clear();
    m_state->rows.reserve(run->messages.size());
    for (const QString &message : std::as_const(run->messages))
        m_state->rows.append(Row {message, {}, {}});
    m_state->finished = 0;
    m_state->run = run;
    const std::shared_ptr<bool> alive = m_state->alive;
    Q_EMIT rowsReset();
    Q_EMIT runningChanged();
    Q_EMIT progressChanged();
    if (!*alive)
        return run;
    if (run->messages.isEmpty()) {
        end(run);
        return run;
    }
    decideThenPump(run, alive);
    return run;
}

// The window's preview asks for a fresh answer about the local model before it
// decides; a run does so once, then follows the model monitor's answers as they
// come, since asking before each of a thousand requests would double them.
QCoro::Task<> ReviewRunner::decideThenPump(std::shared_ptr<Run> run, std::shared_ptr<bool> alive)
{
    QCoro::Task<SystemLanguageModel::Availability> asking
        = SystemLanguageModel::defaultModel().refreshAvailability();
    const SystemLanguageModel::Availability availability = co_await std::move(asking);
    if (!*alive || run->ended)
        co_return;
    if (!availability.isAvailable()) {
        for (int side = 0; side < 2; ++side) {
            try {
                QCoro::Task<PackAPI::PreparedPack> writing = PackAPI::prepare(run->packs[side]);
                run->prepared[side] = co_await std::move(writing);
            } catch (...) {
                // Each request then writes the pack itself, and fails as it would.
            }
            if (!*alive || run->ended)
                co_return;
        }
    }
    pump(run);
}

// Starts as many replies as the lanes allow. A reply that fails at once comes back
// inside this loop; it only asks for another round instead of starting one.
void ReviewRunner::pump(const std::shared_ptr<Run> &run)
{
    if (run->pumping) {
        run->pumpAgain = true;
        return;
    }
    const std::shared_ptr<bool> alive = m_state->alive;
    run->pumping = true;
    do {
        run->pumpAgain = false;
        while (run->next < run->total() && !run->ended) {
            const Lane lane
                = SystemLanguageModel::defaultModel().isAvailable() ? Lane::local : Lane::service;
            const int limit = lane == Lane::local ? 1 : serviceParallel;
            if (run->inFlight[int(lane)] >= limit)
                break;
            const qsizetype job = run->next++;
            ++run->inFlight[int(lane)];
            // Not awaited: it records its own outcome, and finishes after the
            // runner if need be.
            reply(run, alive, job, lane);
            if (!*alive)
                return;
        }
    } while (run->pumpAgain && !run->ended);
    run->pumping = false;
    if (!run->ended && run->next >= run->total() && run->inFlight[0] == 0 && run->inFlight[1] == 0)
        end(run);
}

QCoro::Task<> ReviewRunner::reply(
    std::shared_ptr<Run> run, std::shared_ptr<bool> alive, qsizetype job, Lane lane)
{
    const qsizetype index = job / 2;
    const bool live = job % 2 == 1;
    const CapabilityPack &pack = run->packs[live ? 1 : 0];
    const QString message = run->messages[index];
    Reply result;
    result.done = true;
    result.source = lane == Lane::local ? CoachSource::appleFoundation : CoachSource::mlx;
    try {
        if (lane == Lane::local) {
            QCoro::Task<QString> asking = TaviCoach::appleReply(message, pack, run->cancellation);
            result.text = co_await std::move(asking);
        } else if (const auto &prepared = run->prepared[live ? 1 : 0]) {
            QCoro::Task<QString> asking = run->api.preview(message, *prepared, run->cancellation);
            result.text = co_await std::move(asking);
        } else {
            QCoro::Task<QString> asking = run->api.preview(message, pack, run->cancellation);
            result.text = co_await std::move(asking);
        }
        result.failures = ReplyChecks::check(result.text, pack);
    } catch (...) {
        result.text.clear();
        result.error = errorDescription(std::current_exception());
    }
    --run->inFlight[int(lane)];
    // A cancelled run keeps only what came back before the cancel; a newer run
    // always cancels the one before it.
    if (!*alive || run->ended) {
        run->settleWhenIdle(run);
        co_return;
    }
    Row &row = m_state->rows[index];
    (live ? row.live : row.draft) = std::move(result);
    ++m_state->finished;
    Q_EMIT rowChanged(int(index));
    if (!*alive)
        co_return;
    Q_EMIT progressChanged();
    if (!*alive || run->ended)
        co_return;
    pump(run);
}

void ReviewRunner::end(const std::shared_ptr<Run> &run)
{
    if (run->ended)
        return;
    run->ended = true;
    if (m_state->run == run) {
        m_state->run.reset();
        Q_EMIT runningChanged();
    }
    run->settleWhenIdle(run);
}

namespace {

ReviewRunner::Summary summarise(
    const QList<ReviewRunner::Row> &rows, ReviewRunner::Reply ReviewRunner::Row::*side)
{
    ReviewRunner::Summary summary;
    for (const ReviewRunner::Row &row : rows) {
        const ReviewRunner::Reply &reply = row.*side;
        if (reply.error)
            ++summary.errors;
        for (const auto &failure : reply.failures) {
            switch (failure.kind) {
            case ReplyChecks::Failure::Kind::overWordLimit:
                ++summary.overWordLimit;
                break;
            case ReplyChecks::Failure::Kind::deniedItem:
                ++summary.deniedItem;
                break;
            case ReplyChecks::Failure::Kind::emptyReply:
                ++summary.emptyReply;
                break;
            }
        }
    }
    return summary;
}

} // namespace

ReviewRunner::Summary ReviewRunner::draftSummary() const
{
    return summarise(m_state->rows, &Row::draft);
}

ReviewRunner::Summary ReviewRunner::liveSummary() const
{
    return summarise(m_state->rows, &Row::live);
}

QString ReviewRunner::summaryText() const
{
    if (m_state->rows.isEmpty())
        return QString();
    const Summary draft = draftSummary();
    const Summary live = liveSummary();
    struct Clause
    {
        int Summary::*count;
        const char *words;
    };
    static constexpr Clause clauses[] = {
        {&Summary::overWordLimit, "over the word limit"},
        {&Summary::deniedItem, "saying a denied item"},
        {&Summary::emptyReply, "empty"},
        {&Summary::errors, "failed"},
    };
    QStringList parts;
    for (const Clause &clause : clauses) {
        const int d = draft.*clause.count;
        const int l = live.*clause.count;
        if (d || l)
            parts.append(QStringLiteral("Draft: %1 %2; live: %3")
                             .arg(d)
                             .arg(QLatin1String(clause.words))
                             .arg(l));
    }
    if (!parts.isEmpty())
        return parts.join(QStringLiteral(". "));
    return m_state->finished == total()
        ? QStringLiteral("No reply broke its pack's rules, under the draft or live.")
        : QStringLiteral("No reply has broken its pack's rules so far.");
}

QString ReviewRunner::toMarkdown() const
{
    const auto describeReply = [](const Reply &reply) {
        if (!reply.done)
            return QStringLiteral("*not run*");
        const QString via = reply.source
            ? QStringLiteral("<br>*via ") + rawValue(*reply.source) + QLatin1Char('*')
            : QString();
        if (reply.error)
            return QStringLiteral("**Error:** ") + cell(*reply.error) + via;
        QString out = reply.text.isEmpty() ? QStringLiteral("*(empty)*") : cell(reply.text);
        out += via;
        if (!reply.failures.isEmpty()) {
            QStringList texts;
            for (const auto &failure : reply.failures)
                texts.append(failure.text);
            out += QStringLiteral("<br>**Fails:** ") + cell(texts.join(QStringLiteral("; ")));
        }
        return out;
    };
    QString out = QStringLiteral("## Previews: %1 of %2 replies\n\n").arg(finished()).arg(total());
    const QString summary = summaryText();
    if (!summary.isEmpty())
        out += summary + QStringLiteral("\n\n");
    out += QStringLiteral("| # | Message | Draft | Live |\n|---|---|---|---|\n");
    int number = 0;
    for (const Row &row : m_state->rows) {
        out += QStringLiteral("| %1 | %2 | %3 | %4 |\n")
                   .arg(++number)
                   .arg(cell(row.message), describeReply(row.draft), describeReply(row.live));
    }
    return out;
}

#include "ReviewRunner.moc"
