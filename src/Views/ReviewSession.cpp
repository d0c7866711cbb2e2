#include "ReviewSession.h"

#include "TaviCoach.h"
#include "TaviError.h"
#include "TestSet.h"
#include "VoridIzid.h"

#include <QClipboard>
#include <QCoroFuture>
#include <QGuiApplication>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>

using namespace std::chrono_literals;

namespace {

// What one row lays out: a 2,000-word reply or a long voice, wrapped whole,
// costs more than a frame; the rest is a press away.
constexpr qsizetype kShownCharacters = 320;
// Unchanged stretches of a word diff keep this much on either side of a change.
constexpr qsizetype kContextCharacters = 80;

QString shortened(const QString &text, qsizetype limit = kShownCharacters)
{
    if (text.size() <= limit)
        return text;
    return text.left(limit) + QStringLiteral(" … (%1 more characters)").arg(text.size() - limit);
}

// An unchanged stretch between changes: its edges stay, its middle goes.
QString context(const QString &kept, bool first, bool last)
{
    if (kept.size() <= 2 * kContextCharacters + 5)
        return kept;
    const QString head = first ? QString() : kept.left(kContextCharacters);
    const QString tail = last ? QString() : kept.right(kContextCharacters);
    return head + QStringLiteral(" … ") + tail;
}

QString styled(const QString &plain)
{
    return plain.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
}

ReviewChangeRow rowOf(const PackDiff::Change &change)
{
    ReviewChangeRow row;
    row.label = change.label;
    switch (change.kind) {
    case PackDiff::Change::Kind::changed:
        row.kind = QStringLiteral("changed");
        break;
    case PackDiff::Change::Kind::added:
        row.kind = QStringLiteral("added");
        break;
    case PackDiff::Change::Kind::removed:
        row.kind = QStringLiteral("removed");
        break;
    }
    row.before = change.before ? shortened(*change.before) : QStringLiteral("(none)");
    row.after = change.after ? shortened(*change.after) : QStringLiteral("(none)");
    row.hasWords = !change.words.isEmpty();
    for (qsizetype i = 0; i < change.words.size(); ++i) {
        const PackDiff::WordRun &run = change.words[i];
        switch (run.kind) {
        case PackDiff::WordRun::Kind::kept: {
            const QString shown = context(run.text, i == 0, i == change.words.size() - 1);
            row.marked += styled(shown);
            row.spoken += shown;
            break;
        }
        // Struck through or underlined, and bracketed, so that neither colour
        // nor a screen reader is needed to tell them apart.
        case PackDiff::WordRun::Kind::deleted:
            row.marked += QStringLiteral("<s><font color=\"#c62828\">[-%1-]</font></s>")
                              .arg(styled(shortened(run.text)));
            row.spoken += QStringLiteral(" removed: “%1” ").arg(shortened(run.text));
            break;
        case PackDiff::WordRun::Kind::inserted:
            row.marked += QStringLiteral("<u><font color=\"#2e7d32\">{+%1+}</font></u>")
                              .arg(styled(shortened(run.text)));
            row.spoken += QStringLiteral(" added: “%1” ").arg(shortened(run.text));
            break;
        }
    }
    return row;
}

} // namespace

// ---- models

int ReviewChangesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant ReviewChangesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const ReviewChangeRow &row = m_rows[index.row()];
    switch (role) {
    case label:
        return row.label;
    case kind:
        return row.kind;
    case before:
        return row.before;
    case after:
        return row.after;
    case marked:
        return row.marked;
    case spoken:
        return row.spoken;
    case hasWords:
        return row.hasWords;
    default:
        return {};
    }
}

QHash<int, QByteArray> ReviewChangesModel::roleNames() const
{
    return {{label, "label"}, {kind, "kind"}, {before, "before"}, {after, "after"},
        {marked, "marked"}, {spoken, "spoken"}, {hasWords, "hasWords"}};
}

void ReviewChangesModel::reset(QList<ReviewChangeRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int ReviewTestSetModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_messages.size());
}

QVariant ReviewTestSetModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_messages.size() || role != message)
        return {};
    return m_messages[index.row()];
}

QHash<int, QByteArray> ReviewTestSetModel::roleNames() const
{
    return {{message, "message"}};
}

void ReviewTestSetModel::reset(QStringList messages)
{
    beginResetModel();
    m_messages = std::move(messages);
    endResetModel();
}

void ReviewTestSetModel::set(int row, const QString &text)
{
    m_messages[row] = text;
    Q_EMIT dataChanged(index(row), index(row), {message});
}

void ReviewTestSetModel::insert(int row, const QString &text)
{
    beginInsertRows({}, row, row);
    m_messages.insert(row, text);
    endInsertRows();
}

void ReviewTestSetModel::remove(int row)
{
    beginRemoveRows({}, row, row);
    m_messages.removeAt(row);
    endRemoveRows();
}

void ReviewTestSetModel::move(int from, int to)
{
    // Qt's destination is the row the item goes before, counted before the move.
    beginMoveRows({}, from, from, {}, to > from ? to + 1 : to);
    m_messages.move(from, to);
    endMoveRows();
}

ReviewResultsModel::ReviewResultsModel(const ReviewRunner *runner, QObject *parent)
    : QAbstractListModel(parent)
    , m_runner(runner)
{ }

int ReviewResultsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_count;
}

QVariant ReviewResultsModel::data(const QModelIndex &index, int role) const
{
    const QList<ReviewRunner::Row> &rows = m_runner->rows();
    if (!index.isValid() || index.row() >= m_count || index.row() >= rows.size())
        return {};
    const ReviewRunner::Row &row = rows[index.row()];
    const bool live = role >= liveText && role <= liveFailed;
    const ReviewRunner::Reply &reply = live ? row.live : row.draft;
    const bool whole = m_expanded.value(index.row());
    switch (role) {
    case message:
        return row.message;
    case draftText:
    case liveText:
        if (reply.error)
            return *reply.error;
        if (!reply.done)
            return m_runner->running() ? QStringLiteral("Waiting…") : QStringLiteral("Not run");
        return whole ? reply.text : shortened(reply.text);
    case draftSource:
    case liveSource:
        return reply.done && reply.source && !reply.error
            ? QStringLiteral("Preview: ") + rawValue(*reply.source)
            : QString();
    case draftChecks:
    case liveChecks: {
        if (!reply.done)
            return QString();
        if (reply.error)
            return QStringLiteral("Failed: no reply to check");
        if (reply.failures.isEmpty())
            return QStringLiteral("Passes the checks");
        QStringList failures;
        for (const ReplyChecks::Failure &failure : reply.failures)
            failures << failure.text;
        return QStringLiteral("Fails: ") + failures.join(QStringLiteral("; "));
    }
    case draftFailed:
    case liveFailed:
        return reply.done && (reply.error || !reply.failures.isEmpty());
    case longReply:
        return row.draft.text.size() > kShownCharacters || row.live.text.size() > kShownCharacters;
    case expanded:
        return whole;
    default:
        return {};
    }
}

QHash<int, QByteArray> ReviewResultsModel::roleNames() const
{
    return {{message, "message"}, {draftText, "draftText"}, {draftSource, "draftSource"},
        {draftChecks, "draftChecks"}, {draftFailed, "draftFailed"}, {liveText, "liveText"},
        {liveSource, "liveSource"}, {liveChecks, "liveChecks"}, {liveFailed, "liveFailed"},
        {longReply, "longReply"}, {expanded, "expanded"}};
}

void ReviewResultsModel::sync()
{
    const int count = int(m_runner->rows().size());
    m_expanded = QList<bool>(count, false);
    // Rows that stay are rebound in place: building a row anew costs more.
    if (count == m_count && count > 0)
        return Q_EMIT dataChanged(index(0), index(count - 1));
    beginResetModel();
    m_count = count;
    endResetModel();
}

void ReviewResultsModel::refresh()
{
    if (m_count > 0)
        Q_EMIT dataChanged(index(0), index(m_count - 1));
}

void ReviewResultsModel::rowChanged(int row)
{
    if (row >= 0 && row < m_count)
        Q_EMIT dataChanged(index(row), index(row));
}

void ReviewResultsModel::setExpanded(int row, bool whole)
{
    if (row < 0 || row >= m_count || m_expanded[row] == whole)
        return;
    m_expanded[row] = whole;
    Q_EMIT dataChanged(index(row), index(row));
}

// ---- the session

struct ReviewSession::Comparison
{
    QList<PackDiff::Change> changes;
    QList<ReviewChangeRow> rows;
    QString liveVersion;
};

struct ReviewSession::Loading
{
    QString path;
    TestSet::Loaded loaded;
    std::optional<QString> error;
};

ReviewSession::ReviewSession(QObject *parent)
    : QObject(parent)
{
    m_compareSoon.setSingleShot(true);
    m_compareSoon.setInterval(40ms);
    connect(&m_compareSoon, &QTimer::timeout, this, &ReviewSession::compare);
    connect(&m_comparing, &QFutureWatcherBase::finished, this, &ReviewSession::takeComparison);

    m_saveSoon.setSingleShot(true);
    m_saveSoon.setInterval(300ms);
    connect(&m_saveSoon, &QTimer::timeout, this, &ReviewSession::saveTestSet);
    connect(&m_saving, &QFutureWatcherBase::finished, this, [this] {
        const QString error = m_saving.result();
        if (!error.isEmpty()) {
            m_testSetText = error;
            Q_EMIT testSetChanged();
        }
        if (std::exchange(m_saveAgain, false))
            saveTestSet();
    });
    connect(&m_loading, &QFutureWatcherBase::finished, this, [this] {
        const std::shared_ptr<Loading> done = m_loading.result();
        if (done->path != m_testSetPath)
            return loadTestSet();
        QStringList messages = done->loaded.messages;
        // A set starts with the message the preview card holds.
        if (!done->loaded.existed || (done->loaded.notice && messages.isEmpty()))
            messages = {m_workspace ? m_workspace->previewMessage() : QString()};
        m_testSet.reset(messages);
        m_testSetText = done->error.value_or(done->loaded.notice.value_or(QString()));
        m_testSetReady = true;
        Q_EMIT testSetChanged();
        Q_EMIT canRunChanged();
    });

    connect(&m_runner, &ReviewRunner::rowsReset, &m_results, &ReviewResultsModel::sync);
    connect(&m_runner, &ReviewRunner::runningChanged, this, [this] {
        // Rows waiting when a run ends read "Not run" from now on.
        if (!m_runner.running())
            m_results.refresh();
        Q_EMIT runChanged();
        Q_EMIT canRunChanged();
    });
    connect(&m_runner, &ReviewRunner::progressChanged, this, [this] {
        if (m_results.rowCount() != m_runner.rows().size())
            m_results.sync();
        Q_EMIT runChanged();
    });
    connect(&m_runner, &ReviewRunner::rowChanged, &m_results, &ReviewResultsModel::rowChanged);
}

ReviewSession::~ReviewSession()
{
    *m_alive = false;
    // The runner goes after the rows model and this object's other members; what
    // it says while it ends a run must reach neither.
    m_runner.disconnect();
    // Edits of the last moments still reach the file, off this thread; the
    // pool finishes the write before the process ends.
    if (m_saveSoon.isActive() || m_saveAgain) {
        (void)QtConcurrent::run([path = m_testSetPath, messages = m_testSet.messages(),
                                    before = m_saving.future()]() mutable {
            before.waitForFinished();
            try {
                TestSet::save(path, messages);
            } catch (...) {
                // Nobody is left to tell; the file keeps the previous set.
            }
        });
    }
}

void ReviewSession::setWorkspace(VoridIzid *workspace)
{
    if (m_workspace == workspace)
        return;
    if (m_workspace)
        disconnect(m_workspace, nullptr, this, nullptr);
    m_workspace = workspace;
    if (workspace) {
        connect(workspace, &VoridIzid::packChanged, this, [this] {
            // Any change of the draft once a run has started: its results speak
            // of a draft that is no longer the one on screen.
            if (m_runDraft && !m_resultsOutdated) {
                m_resultsOutdated = true;
                Q_EMIT runChanged();
            }
            draftOrLiveChanged();
        });
        connect(workspace, &VoridIzid::liveChanged, this, [this] {
            // The workspace heard from the service later than any check did.
            m_checkedLive.reset();
            setLiveText(QString());
            draftOrLiveChanged();
        });
        connect(workspace, &VoridIzid::apiBaseChanged, this, [this] {
            if (m_open)
                loadTestSet();
        });
    }
    Q_EMIT workspaceChanged();
    if (m_open) {
        compare();
        loadTestSet();
    }
}

void ReviewSession::setOpen(bool open)
{
    if (m_open == open)
        return;
    m_open = open;
    Q_EMIT openChanged();
    // Nothing is compared while the panel is closed: typing then costs what it
    // always did.
    if (open) {
        compare();
        loadTestSet();
    }
}

const std::optional<CapabilityPack> &ReviewSession::live() const
{
    static const std::optional<CapabilityPack> none;
    if (m_checkedLive)
        return m_checkedLive;
    return m_workspace ? m_workspace->live() : none;
}

void ReviewSession::draftOrLiveChanged()
{
    if (m_open)
        m_compareSoon.start();
    Q_EMIT canRunChanged();
}

void ReviewSession::compare()
{
    m_compareSoon.stop();
    if (!m_open || !m_workspace)
        return;
    if (m_comparing.isRunning()) {
        m_compareAgain = true;
        return;
    }
    const std::optional<CapabilityPack> &current = m_workspace->pack();
    const std::optional<CapabilityPack> &against = live();
    if (!current || !against) {
        m_changeList.clear();
        m_changes.reset({});
        setChangesText(QStringLiteral("Load the live pack to see what the draft changes."));
        return;
    }
    // Packs are shared values: the copies cost reference counts, and the
    // comparison of two large packs runs on a worker.
    m_comparing.setFuture(QtConcurrent::run([draft = *current, live = *against] {
        auto result = std::make_shared<Comparison>();
        result->changes = PackDiff::diff(live, draft);
        result->rows.reserve(result->changes.size());
        for (const PackDiff::Change &change : std::as_const(result->changes))
            result->rows.append(rowOf(change));
        result->liveVersion = live.version;
        return result;
    }));
}

void ReviewSession::takeComparison()
{
    const std::shared_ptr<Comparison> result = m_comparing.result();
    if (std::exchange(m_compareAgain, false))
        compare();
    m_changeList = result->changes;
    m_changes.reset(result->rows);
    const qsizetype count = m_changeList.size();
    if (count == 0)
        setChangesText(QStringLiteral("Nothing to publish: the draft is the same as live %1.")
                           .arg(result->liveVersion));
    else
        setChangesText(QStringLiteral("%1 %2 to publish against live %3")
                           .arg(count)
                           .arg(count == 1 ? QStringLiteral("change") : QStringLiteral("changes"),
                               result->liveVersion));
    Q_EMIT changesChanged();
    Q_EMIT compared();
}

void ReviewSession::checkLive()
{
    checkLiveAsync();
}

QCoro::Task<> ReviewSession::checkLiveAsync()
{
    if (!m_workspace || m_checkingLive)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    m_checkingLive = true;
    Q_EMIT checkingLiveChanged();
    const PackAPI client = m_workspace->api();
    const std::optional<CapabilityPack> known = m_workspace->live();
    try {
        CapabilityPack fetched = co_await client.current();
        if (!*alive)
            co_return;
        // Comparing two large packs is no work for this thread.
        QFuture<bool> same = QtConcurrent::run(
            [known, fetched] { return known.has_value() && *known == fetched; });
        const bool unmoved = co_await same;
        if (!*alive)
            co_return;
        if (unmoved) {
            m_checkedLive.reset();
            setLiveText(QStringLiteral("Live is still %1: nothing was published since the draft "
                                       "was loaded.")
                            .arg(fetched.version));
        } else {
            const QString then = known ? known->version : QStringLiteral("nothing");
            setLiveText(QStringLiteral("Live has moved: %1 when the draft was loaded, %2 now. "
                                       "The changes below are against %2.")
                            .arg(then, fetched.version));
            m_checkedLive = std::move(fetched);
        }
        draftOrLiveChanged();
        compare();
    } catch (...) {
        if (!*alive)
            co_return;
        setLiveText(errorDescription(std::current_exception()));
    }
    m_checkingLive = false;
    Q_EMIT checkingLiveChanged();
}

// ---- the test set

void ReviewSession::loadTestSet()
{
    if (!m_workspace)
        return;
    const QString path = TestSet::storePath(m_workspace->api().baseURL);
    if (path == m_testSetPath && (m_testSetReady || m_loading.isRunning()))
        return;
    m_testSetPath = path;
    if (m_loading.isRunning())
        return; // its end starts the load of the new path
    m_testSetReady = false;
    Q_EMIT testSetChanged();
    Q_EMIT canRunChanged();
    m_loading.setFuture(QtConcurrent::run([path] {
        auto done = std::make_shared<Loading>();
        done->path = path;
        try {
            done->loaded = TestSet::load(path);
        } catch (...) {
            done->error = errorDescription(std::current_exception());
        }
        return done;
    }));
}

void ReviewSession::testSetEdited()
{
    m_saveSoon.start();
    Q_EMIT testSetChanged();
    Q_EMIT canRunChanged();
}

void ReviewSession::saveTestSet()
{
    if (m_testSetPath.isEmpty())
        return;
    if (m_saving.isRunning()) {
        m_saveAgain = true;
        return;
    }
    m_saving.setFuture(
        QtConcurrent::run([path = m_testSetPath, messages = m_testSet.messages()]() -> QString {
            try {
                TestSet::save(path, messages);
                return {};
            } catch (...) {
                return errorDescription(std::current_exception());
            }
        }));
}

void ReviewSession::addMessage(const QString &message)
{
    if (!m_testSetReady)
        return;
    m_testSet.insert(int(m_testSet.messages().size()), message);
    testSetEdited();
}

void ReviewSession::setMessage(int row, const QString &message)
{
    if (!m_testSetReady || row < 0 || row >= m_testSet.messages().size()
        || m_testSet.messages()[row] == message)
        return;
    m_testSet.set(row, message);
    testSetEdited();
}

void ReviewSession::removeMessage(int row)
{
    if (!m_testSetReady || row < 0 || row >= m_testSet.messages().size())
        return;
    m_testSet.remove(row);
    testSetEdited();
}

void ReviewSession::moveMessage(int from, int to)
{
    const int count = int(m_testSet.messages().size());
    if (!m_testSetReady || from < 0 || from >= count || to < 0 || to >= count || from == to)
        return;
    m_testSet.move(from, to);
    testSetEdited();
}

// ---- the run

bool ReviewSession::canRun() const
{
    return m_workspace && m_workspace->pack() && live() && m_testSetReady
        && !m_testSet.messages().isEmpty() && !m_runner.running();
}

void ReviewSession::run()
{
    if (!canRun())
        return;
    m_runDraft = *m_workspace->pack();
    m_cancelled = false;
    m_resultsOutdated = false;
    m_runner.start(m_workspace->api(), *m_runDraft, *live(), m_testSet.messages());
}

void ReviewSession::cancel()
{
    if (!m_runner.running())
        return;
    m_cancelled = true;
    m_runner.cancel();
    Q_EMIT runChanged();
}

int ReviewSession::messagesDone() const
{
    int done = 0;
    for (const ReviewRunner::Row &row : m_runner.rows())
        done += row.draft.done && row.live.done ? 1 : 0;
    return done;
}

QString ReviewSession::progressText() const
{
    if (m_runner.rows().isEmpty())
        return QString();
    const QString counted = QStringLiteral("%1 of %2").arg(messagesDone()).arg(messagesTotal());
    return m_cancelled ? QStringLiteral("Cancelled: ") + counted + QStringLiteral(" done")
                       : counted;
}

QString ReviewSession::resultsText() const
{
    return m_resultsOutdated ? QStringLiteral("Made under an earlier draft: the draft has changed "
                                              "since this run.")
                             : QString();
}

// ---- export

void ReviewSession::copyChanges()
{
    const QString version = live() ? live()->version : QString();
    QString markdown = QStringLiteral("## Changes against live %1\n\n").arg(version);
    markdown += m_changeList.isEmpty() ? QStringLiteral("Nothing to publish.\n")
                                       : PackDiff::toMarkdown(m_changeList);
    QGuiApplication::clipboard()->setText(markdown);
    setCopyText(QStringLiteral("Changes copied as Markdown."));
}

void ReviewSession::copyResults()
{
    QString markdown = QStringLiteral("## Test set run\n\n");
    if (m_resultsOutdated)
        markdown += QStringLiteral("_%1_\n\n").arg(resultsText());
    const QString summary = summaryText();
    if (!summary.isEmpty())
        markdown += summary + QStringLiteral("\n\n");
    markdown += m_runner.toMarkdown();
    QGuiApplication::clipboard()->setText(markdown);
    setCopyText(QStringLiteral("Results copied as Markdown."));
}

void ReviewSession::setChangesText(const QString &text)
{
    if (m_changesText == text)
        return;
    m_changesText = text;
    Q_EMIT changesChanged();
}

void ReviewSession::setLiveText(const QString &text)
{
    if (m_liveText == text)
        return;
    m_liveText = text;
    Q_EMIT liveTextChanged();
}

void ReviewSession::setCopyText(const QString &text)
{
    m_copyText = text;
    Q_EMIT copyTextChanged();
}
