#pragma once

#include "CapabilityPack.h"
#include "TaviError.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// The database could not be opened or a statement failed. The service answers
// 500 with this text; it never contains a pack or a token.
class StoreError : public TaviError
{
public:
    using TaviError::TaviError;
};

// The published history of packs in one SQLite file. Every write is a single
// transaction with synchronous=FULL, so a process killed at any instant leaves
// either the whole write or none of it.
//
// Two tables: `versions` keeps every pack ever made live (never deleted), and
// `live_chain` is the stack of versions that became live by publishing. Its top
// is the live version. Rollback pops the top, so "previous" means the version
// that was live before the current one was published. After publish v2,
// rollback (v1 live), publish v3, a rollback goes to v1, not to v2: a rolled-back
// version left the chain, and reviving it silently would undo the operator's
// rollback. Rolled-back versions stay in `versions` as history.
class PackStore
{
public:
    // The live pack as stored, already written as JSON, with its version.
    struct Live
    {
        QString version;
        QByteArray packJson;
    };

    struct HistoryEntry
    {
        QString version;
        std::optional<QString> parentVersion;
        QString coachModel;
        QString createdAt;
        bool inLiveChain = false;
        // From the stored pack's provenance, when it names them.
        std::optional<QString> author;
        std::optional<QString> coachInstruction;
    };

    // `path` is a file name or ":memory:". Throws StoreError.
    explicit PackStore(const QString &path);
    ~PackStore();
    PackStore(const PackStore &) = delete;
    PackStore &operator=(const PackStore &) = delete;

    bool isEmpty() const;
    // Stores `pack` as the first live version, keeping its own version label.
    void seed(CapabilityPack pack);

    std::optional<Live> live() const;

    struct PublishOutcome
    {
        // Set when the pack was stored; otherwise the draft was stale.
        std::optional<CapabilityPack> stored;
        QByteArray packJson;
        // The live version after the call: the new one, or the one that made
        // the draft stale.
        QString liveVersion;
    };
    // Stores `pack` as a new live version derived from the live one, unless
    // `pack.version` is not the live version.
    PublishOutcome publish(CapabilityPack pack, const QString &coachModel);

    // The new live pack, or nullopt when the chain holds nothing to go back to.
    std::optional<Live> rollback();

    // Oldest first.
    QList<HistoryEntry> history() const;

    // Runs inside the publish transaction, just before the commit: lets a test
    // kill the process at the one instant where a write is half done.
    void setBeforeCommitHook(std::function<void()> hook) { m_beforeCommit = std::move(hook); }

private:
    class Transaction;
    std::optional<Live> liveLocked() const;
    QString nextVersionLocked() const;

    QString m_connection;
    std::function<void()> m_beforeCommit;
};
