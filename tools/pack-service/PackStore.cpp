#include "PackStore.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

QAtomicInteger<quint64> connectionCounter;

QString errorText(const QString &what, const QSqlError &error)
{
    return QStringLiteral("database: %1: %2").arg(what, error.text());
}

QSqlQuery run(QSqlDatabase db, const QString &sql, const QVariantList &values = {})
{
    QSqlQuery query(db);
    if (!query.prepare(sql))
        throw StoreError(errorText(sql, query.lastError()));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        throw StoreError(errorText(sql, query.lastError()));
    return query;
}

QVariant optionalText(const std::optional<QString> &text)
{
    return text ? QVariant(*text) : QVariant(QMetaType::fromType<QString>());
}

} // namespace

// BEGIN IMMEDIATE takes the write lock up front, so the live version read for
// the stale check cannot change before the commit even if a second process
// opens the same file.
class PackStore::Transaction
{
public:
    explicit Transaction(QSqlDatabase db)
        : m_db(db)
    {
        run(m_db, QStringLiteral("BEGIN IMMEDIATE"));
    }
    ~Transaction()
    {
        if (!m_done) {
            QSqlQuery query(m_db);
            query.exec(QStringLiteral("ROLLBACK"));
        }
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit()
    {
        run(m_db, QStringLiteral("COMMIT"));
        m_done = true;
    }

private:
    QSqlDatabase m_db;
    bool m_done = false;
};

PackStore::PackStore(const QString &path)
    : m_connection(QStringLiteral("pack-store-%1").arg(connectionCounter.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(path);
    if (!db.open())
        throw StoreError(errorText(QStringLiteral("cannot open %1").arg(path), db.lastError()));

    // WAL with synchronous=FULL: a commit is on disk before the answer goes out.
    run(db, QStringLiteral("PRAGMA journal_mode=WAL"));
    run(db, QStringLiteral("PRAGMA synchronous=FULL"));
    run(db, QStringLiteral("PRAGMA foreign_keys=ON"));
    run(db, QStringLiteral("PRAGMA busy_timeout=5000"));

    Transaction transaction(db);
    run(db,
        QStringLiteral("CREATE TABLE IF NOT EXISTS versions ("
                       " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " version TEXT NOT NULL UNIQUE,"
                       " parent_version TEXT,"
                       " coach_model TEXT NOT NULL,"
                       " created_at TEXT NOT NULL,"
                       " pack TEXT NOT NULL)"));
    run(db,
        QStringLiteral("CREATE TABLE IF NOT EXISTS live_chain ("
                       " position INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " version TEXT NOT NULL REFERENCES versions(version))"));
    transaction.commit();
}

PackStore::~PackStore()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool PackStore::isEmpty() const
{
    QSqlQuery query = run(QSqlDatabase::database(m_connection, false),
        QStringLiteral("SELECT COUNT(*) FROM versions"));
    return query.next() && query.value(0).toLongLong() == 0;
}

void PackStore::seed(CapabilityPack pack)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    Transaction transaction(db);
    pack.status = QStringLiteral("live");
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    run(db,
        QStringLiteral("INSERT INTO versions (version, parent_version, coach_model, created_at, "
                       "pack) VALUES (?, ?, ?, ?, ?)"),
        {pack.version, optionalText(pack.parentVersion), QStringLiteral("seed"), now,
            QString::fromUtf8(pack.toJson())});
    run(db, QStringLiteral("INSERT INTO live_chain (version) VALUES (?)"), {pack.version});
    transaction.commit();
}

std::optional<PackStore::Live> PackStore::live() const
{
    return liveLocked();
}

std::optional<PackStore::Live> PackStore::liveLocked() const
{
    QSqlQuery query = run(QSqlDatabase::database(m_connection, false),
        QStringLiteral("SELECT v.version, v.pack FROM live_chain c"
                       " JOIN versions v ON v.version = c.version"
                       " ORDER BY c.position DESC LIMIT 1"));
    if (!query.next())
        return std::nullopt;
    return Live {query.value(0).toString(), query.value(1).toString().toUtf8()};
}

QString PackStore::nextVersionLocked() const
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query = run(db, QStringLiteral("SELECT COALESCE(MAX(seq), 0) FROM versions"));
    qint64 next = query.next() ? query.value(0).toLongLong() + 1 : 1;
    // A seeded label may already be "v<N>"; skip over any label in use.
    for (;; ++next) {
        const QString candidate = QStringLiteral("v%1").arg(next);
        QSqlQuery taken
            = run(db, QStringLiteral("SELECT 1 FROM versions WHERE version = ?"), {candidate});
        if (!taken.next())
            return candidate;
    }
}

PackStore::PublishOutcome PackStore::publish(CapabilityPack pack, const QString &coachModel)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    Transaction transaction(db);

    const std::optional<Live> current = liveLocked();
    if (current && pack.version != current->version)
        return PublishOutcome {std::nullopt, {}, current->version};

    if (current)
        pack.parentVersion = current->version;
    pack.version = nextVersionLocked();
    pack.status = QStringLiteral("live");
    const QByteArray json = pack.toJson();
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);

    run(db,
        QStringLiteral("INSERT INTO versions (version, parent_version, coach_model, created_at, "
                       "pack) VALUES (?, ?, ?, ?, ?)"),
        {pack.version, optionalText(pack.parentVersion), coachModel, now, QString::fromUtf8(json)});
    run(db, QStringLiteral("INSERT INTO live_chain (version) VALUES (?)"), {pack.version});
    if (m_beforeCommit)
        m_beforeCommit();
    transaction.commit();
    const QString version = pack.version;
    return PublishOutcome {std::move(pack), json, version};
}

std::optional<PackStore::Live> PackStore::rollback()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    Transaction transaction(db);
    QSqlQuery count = run(db, QStringLiteral("SELECT COUNT(*) FROM live_chain"));
    if (!count.next() || count.value(0).toLongLong() < 2)
        return std::nullopt;
    run(db,
        QStringLiteral("DELETE FROM live_chain WHERE position = "
                       "(SELECT MAX(position) FROM live_chain)"));
    std::optional<Live> now = liveLocked();
    transaction.commit();
    return now;
}

QList<PackStore::HistoryEntry> PackStore::history() const
{
    QSqlQuery query = run(QSqlDatabase::database(m_connection, false),
        QStringLiteral("SELECT v.version, v.parent_version, v.coach_model, v.created_at,"
                       " EXISTS (SELECT 1 FROM live_chain c WHERE c.version = v.version),"
                       " json_extract(v.pack, '$.provenance.author'),"
                       " json_extract(v.pack, '$.provenance.coach_instruction')"
                       " FROM versions v ORDER BY v.seq"));
    QList<HistoryEntry> entries;
    while (query.next()) {
        HistoryEntry entry;
        entry.version = query.value(0).toString();
        if (!query.value(1).isNull())
            entry.parentVersion = query.value(1).toString();
        entry.coachModel = query.value(2).toString();
        entry.createdAt = query.value(3).toString();
        entry.inLiveChain = query.value(4).toBool();
        if (!query.value(5).isNull())
            entry.author = query.value(5).toString();
        if (!query.value(6).isNull())
            entry.coachInstruction = query.value(6).toString();
        entries.append(entry);
    }
    return entries;
}
