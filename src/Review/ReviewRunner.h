#pragma once

#include "CapabilityPack.h"
#include "PackAPI.h"
#include "ReplyChecks.h"
#include "TaviCoach.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

// Previews a list of traveller messages under two packs (the draft and live),
// through the same route as the window's preview: the local model first, the
// service's model when the local one is not available. The local model gets one
// request at a time, the service up to four at once. A failed message records
// its error and the run goes on. Knows nothing of the workspace: it never
// touches busy, status, the preview reply or the source caption.
class ReviewRunner : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        bool done = false;
        QString text;
        std::optional<CoachSource> source;
        // The error's own description when the preview failed; then text is empty.
        std::optional<QString> error;
        QList<ReplyChecks::Failure> failures;
    };
    struct Row
    {
        QString message;
        Reply draft;
        Reply live;
    };

    explicit ReviewRunner(QObject *parent = nullptr);
    ~ReviewRunner() override;

    bool running() const;
    // Rows of the last run, kept until the next start.
    const QList<Row> &rows() const;
    int total() const; // replies the run makes: 2 × messages
    int finished() const; // replies done so far, failed ones included

    // Starts a run (ending any run under way first) and returns at once.
    void start(PackAPI api, CapabilityPack draft, CapabilityPack live, QStringList messages);
    // The same, awaitable: resumes when the run has ended (done or cancelled)
    // and every request it started has ended too, the aborted ones included.
    QCoro::Task<> run(PackAPI api, CapabilityPack draft, CapabilityPack live, QStringList messages);
    // Stops at once: requests in flight are aborted, rows already done stay.
    // running() is false on return; an awaited run() resumes once the aborted
    // requests have come back (within a second).
    void cancel();

    // Per-pack failure counts of the last run, for the summary line.
    struct Summary
    {
        int overWordLimit = 0;
        int deniedItem = 0;
        int emptyReply = 0;
        int errors = 0;
        int total() const { return overWordLimit + deniedItem + emptyReply; }
    };
    Summary draftSummary() const;
    Summary liveSummary() const;
    // "Draft: 1 over the word limit; live: 3" and the like: one clause per kind of
    // failure that occurs on either side ("over the word limit", "saying a
    // denied item", "empty", "failed" for errors), joined by ". "; a plain
    // sentence when nothing failed; "" before any run.
    QString summaryText() const;

    // The run as Markdown (a table, one row a message, with sources and failures).
    QString toMarkdown() const;

    // The packs the last run was started with (kept after it ends), so that its
    // results can be told apart from a draft edited since; nullopt before any run.
    std::optional<CapabilityPack> draftPack() const;
    std::optional<CapabilityPack> livePack() const;

    // How many requests go to the pack service at once (4); the local model
    // always gets one at a time.
    static constexpr int serviceParallel = 4;

Q_SIGNALS:
    // A run started: rows() holds its messages, none of them answered yet.
    void rowsReset();
    void rowChanged(int index);
    void progressChanged();
    void runningChanged();

private:
    struct State;
    class Run;
    enum class Lane { local, service };
    std::shared_ptr<Run> begin(
        PackAPI api, CapabilityPack draft, CapabilityPack live, QStringList messages);
    void pump(const std::shared_ptr<Run> &run);
    void end(const std::shared_ptr<Run> &run);
    QCoro::Task<> decideThenPump(std::shared_ptr<Run> run, std::shared_ptr<bool> alive);
    QCoro::Task<> reply(
        std::shared_ptr<Run> run, std::shared_ptr<bool> alive, qsizetype job, Lane lane);
    std::unique_ptr<State> m_state;
};
