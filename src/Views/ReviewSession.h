#pragma once

#include "CapabilityPack.h"
#include "PackDiff.h"
#include "ReviewRunner.h"

#include <QAbstractListModel>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <memory>
#include <optional>

class VoridIzid;
Q_MOC_INCLUDE("VoridIzid.h")

// One change between the draft and live, with the texts the panel shows already
// cut to a size a row can lay out in a frame.
struct ReviewChangeRow
{
    QString label;
    QString kind; // "changed", "added", "removed"
    QString before; // shown value, long texts shortened
    QString after;
    QString marked; // word diff with {+insertions+} and [-deletions-], styled
    QString spoken; // the same for a screen reader, in words
    bool hasWords = false;
};

// The rows of a list that the panel reads; each model below only maps its
// owner's data to roles.
class ReviewChangesModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role { label = Qt::UserRole + 1, kind, before, after, marked, spoken, hasWords };
    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    void reset(QList<ReviewChangeRow> rows);

private:
    QList<ReviewChangeRow> m_rows;
};

class ReviewTestSetModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role { message = Qt::UserRole + 1 };
    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    const QStringList &messages() const { return m_messages; }
    void reset(QStringList messages);
    void set(int row, const QString &message);
    void insert(int row, const QString &message);
    void remove(int row);
    void move(int from, int to);

private:
    QStringList m_messages;
};

class ReviewResultsModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role {
        message = Qt::UserRole + 1,
        draftText,
        draftSource,
        draftChecks,
        draftFailed,
        liveText,
        liveSource,
        liveChecks,
        liveFailed,
        longReply,
        expanded,
    };
    explicit ReviewResultsModel(const ReviewRunner *runner, QObject *parent = nullptr);
    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    // Follows the runner: a new run resets, a finished reply changes its row.
    void sync();
    // Every row reads its data again, its expansion kept.
    void refresh();
    void rowChanged(int row);
    void setExpanded(int row, bool expanded);

private:
    const ReviewRunner *m_runner;
    int m_count = 0;
    QList<bool> m_expanded;
};

// The review panel's state: what the draft changes against live, the test set,
// and the run of the set under the draft and under live. It reads the workspace
// and never writes it: a check of live, a run or an edit of the set leave the
// draft, busy, the status line, the preview reply and its caption alone.
class ReviewSession : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(VoridIzid *workspace READ workspace WRITE setWorkspace NOTIFY workspaceChanged)
    Q_PROPERTY(bool open READ isOpen WRITE setOpen NOTIFY openChanged)

    Q_PROPERTY(QAbstractItemModel *changes READ changes CONSTANT)
    Q_PROPERTY(QString changesText READ changesText NOTIFY changesChanged)
    Q_PROPERTY(int changeCount READ changeCount NOTIFY changesChanged)
    Q_PROPERTY(QString liveText READ liveText NOTIFY liveTextChanged)
    Q_PROPERTY(bool checkingLive READ checkingLive NOTIFY checkingLiveChanged)

    Q_PROPERTY(QAbstractItemModel *testSet READ testSet CONSTANT)
    Q_PROPERTY(bool testSetReady READ testSetReady NOTIFY testSetChanged)
    Q_PROPERTY(QString testSetText READ testSetText NOTIFY testSetChanged)

    Q_PROPERTY(QAbstractItemModel *results READ results CONSTANT)
    Q_PROPERTY(bool canRun READ canRun NOTIFY canRunChanged)
    Q_PROPERTY(bool running READ running NOTIFY runChanged)
    Q_PROPERTY(int messagesDone READ messagesDone NOTIFY runChanged)
    Q_PROPERTY(int messagesTotal READ messagesTotal NOTIFY runChanged)
    Q_PROPERTY(QString progressText READ progressText NOTIFY runChanged)
    Q_PROPERTY(QString summaryText READ summaryText NOTIFY runChanged)
    Q_PROPERTY(bool resultsOutdated READ resultsOutdated NOTIFY runChanged)
    Q_PROPERTY(QString resultsText READ resultsText NOTIFY runChanged)
    Q_PROPERTY(QString copyText READ copyText NOTIFY copyTextChanged)

public:
    explicit ReviewSession(QObject *parent = nullptr);
    ~ReviewSession() override;

    VoridIzid *workspace() const { return m_workspace; }
    void setWorkspace(VoridIzid *workspace);
    bool isOpen() const { return m_open; }
    void setOpen(bool open);

    QAbstractItemModel *changes() { return &m_changes; }
    const QList<PackDiff::Change> &changeList() const { return m_changeList; }
    QString changesText() const { return m_changesText; }
    int changeCount() const { return int(m_changeList.size()); }
    QString liveText() const { return m_liveText; }
    bool checkingLive() const { return m_checkingLive; }

    QAbstractItemModel *testSet() { return &m_testSet; }
    QStringList messages() const { return m_testSet.messages(); }
    bool testSetReady() const { return m_testSetReady; }
    QString testSetText() const { return m_testSetText; }

    QAbstractItemModel *results() { return &m_results; }
    ReviewRunner &runner() { return m_runner; }
    bool canRun() const;
    bool running() const { return m_runner.running(); }
    int messagesDone() const;
    int messagesTotal() const { return int(m_runner.rows().size()); }
    QString progressText() const;
    QString summaryText() const { return m_runner.summaryText(); }
    bool resultsOutdated() const { return m_resultsOutdated; }
    QString resultsText() const;
    QString copyText() const { return m_copyText; }

    // The live pack the changes are shown against: the one a check fetched when
    // it is newer than what the workspace last got from the service.
    const std::optional<CapabilityPack> &live() const;

    Q_INVOKABLE void toggle() { setOpen(!m_open); }
    Q_INVOKABLE void checkLive();
    QCoro::Task<> checkLiveAsync();

    Q_INVOKABLE void addMessage(const QString &message = {});
    Q_INVOKABLE void setMessage(int row, const QString &message);
    Q_INVOKABLE void removeMessage(int row);
    Q_INVOKABLE void moveMessage(int from, int to);

    Q_INVOKABLE void run();
    Q_INVOKABLE void cancel();
    Q_INVOKABLE void setExpanded(int row, bool expanded) { m_results.setExpanded(row, expanded); }

    Q_INVOKABLE void copyChanges();
    Q_INVOKABLE void copyResults();

Q_SIGNALS:
    void workspaceChanged();
    void openChanged();
    void changesChanged();
    void liveTextChanged();
    void checkingLiveChanged();
    void testSetChanged();
    void canRunChanged();
    void runChanged();
    void copyTextChanged();
    // Each finished comparison of the draft with live, for tests and benchmarks.
    void compared();

private:
    void draftOrLiveChanged();
    void compare();
    void takeComparison();
    void loadTestSet();
    void testSetEdited();
    void saveTestSet();
    void setChangesText(const QString &text);
    void setLiveText(const QString &text);
    void setCopyText(const QString &text);

    QPointer<VoridIzid> m_workspace;
    bool m_open = false;

    ReviewChangesModel m_changes;
    QList<PackDiff::Change> m_changeList;
    QString m_changesText;
    // A live pack fetched by "Check live" that differs from the workspace's.
    std::optional<CapabilityPack> m_checkedLive;
    QString m_liveText;
    bool m_checkingLive = false;
    // Keystrokes come faster than a large diff: one comparison at a time, the
    // next one starts from the draft as it stands when the last one ends.
    QTimer m_compareSoon;
    struct Comparison;
    QFutureWatcher<std::shared_ptr<Comparison>> m_comparing;
    bool m_compareAgain = false;

    ReviewTestSetModel m_testSet;
    bool m_testSetReady = false;
    QString m_testSetText;
    QString m_testSetPath;
    QTimer m_saveSoon;
    QFutureWatcher<QString> m_saving;
    bool m_saveAgain = false;
    struct Loading;
    QFutureWatcher<std::shared_ptr<Loading>> m_loading;

    ReviewRunner m_runner;
    ReviewResultsModel m_results {&m_runner};
    std::optional<CapabilityPack> m_runDraft;
    bool m_resultsOutdated = false;
    bool m_cancelled = false;
    QString m_copyText;

    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
