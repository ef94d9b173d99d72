#include "results/sqlstore.h"

#include "results/measurementcopy.h"
#include "results/schema.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

#include <algorithm>

namespace rangefinder {

namespace {

// Rows in one INSERT: a statement per row would cost a round trip each to a server. 500 rows of
// 6 values stay far below SQLite's and PostgreSQL's limits on parameters.
constexpr int kRowsPerInsert = 500;
// Ten stations writing into one SQLite file take turns; none should give up while another
// commits.
const char kSqliteOptions[] = "QSQLITE_BUSY_TIMEOUT=60000";
// A server out of reach should send the run to the outbox soon, not after TCP's minutes; the
// server's notices (a table that exists already) are no news for the station's stderr.
const char kPostgresOptions[] = "connect_timeout=5;options=-cclient_min_messages=warning";
// Serialises migrations of one PostgreSQL database among programs starting at once.
constexpr qint64 kMigrationLock = 0x72616e6765;

QString errorText(const QSqlError &error)
{
    const QString database = error.databaseText().trimmed();
    const QString driver = error.driverText().trimmed();
    if (database.isEmpty())
        return driver;
    return driver.isEmpty() ? database : driver + QStringLiteral(": ") + database;
}

QString placeholders(int count)
{
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks << QStringLiteral("?");
    return QLatin1Char('(') + marks.join(QLatin1Char(',')) + QLatin1Char(')');
}

QString insertMeasurementsSql(int rows)
{
    QStringList columns;
    for (const char *column : kMeasurementColumns)
        columns << QLatin1String(column);
    QStringList values;
    const QString row = placeholders(columns.size());
    for (int i = 0; i < rows; ++i)
        values << row;
    return QStringLiteral("INSERT INTO measurements (%1) VALUES %2 ON CONFLICT DO NOTHING")
        .arg(columns.join(QLatin1Char(',')), values.join(QLatin1Char(',')));
}

// PostgreSQL takes a batch as one array per column, unnested on the server: a statement of
// 10,000 rows with six values, where a VALUES list would be 60,000 literals for the server to
// parse (Qt 5's driver sends bound values as literals in its EXECUTE).
constexpr int kRowsPerArrayInsert = 10000;
const char kArrayInsertSql[] =
    "INSERT INTO measurements (run_id, seq, time_utc, status, distance_m, latency_ms)"
    " SELECT ?, * FROM unnest(?::integer[], ?::text[], ?::text[], ?::double precision[],"
    " ?::bigint[]) ON CONFLICT DO NOTHING";

// An element of an array literal: quoted, so that no text can end it early.
QString arrayElement(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString arrayLiteral(const QStringList &elements)
{
    return QLatin1Char('{') + elements.join(QLatin1Char(',')) + QLatin1Char('}');
}

// The columns after run_id of rows [first, first + count), each as an array literal.
QVariantList measurementArrays(const QVector<MeasurementRow> &rows, int first, int count)
{
    QStringList seq, time, status, metres, latency;
    for (int i = first; i < first + count; ++i) {
        const MeasurementRow &row = rows.at(i);
        seq << QString::number(row.seq);
        time << arrayElement(storedTime(row.time));
        status << arrayElement(row.status);
        metres << (row.metres ? QString::number(*row.metres, 'g', 17) : QStringLiteral("NULL"));
        latency << (row.latencyMs ? QString::number(*row.latencyMs) : QStringLiteral("NULL"));
    }
    return {arrayLiteral(seq), arrayLiteral(time), arrayLiteral(status), arrayLiteral(metres),
            arrayLiteral(latency)};
}

QString upsertRunSql()
{
    QStringList columns, updates;
    for (const RunColumn &column : runColumns()) {
        const QString name = QLatin1String(column.name);
        columns << name;
        if (name != QLatin1String("run_id"))
            updates << name + QStringLiteral(" = excluded.") + name;
    }
    return QStringLiteral("INSERT INTO runs (%1) VALUES %2 ON CONFLICT (run_id) DO UPDATE SET %3")
        .arg(columns.join(QLatin1Char(',')), placeholders(columns.size()),
             updates.join(QLatin1Char(',')));
}

// Without values a statement goes as it is: PostgreSQL prepares no BEGIN or CREATE.
bool run(QSqlQuery &query, const QString &sql, const QVariantList &values)
{
    if (values.isEmpty())
        return query.exec(sql);
    if (!query.prepare(sql))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

} // namespace

SqlStore::SqlStore(const StoreLocation &location) : m_location(location)
{
    static QAtomicInt counter;
    m_connection = QStringLiteral("rangefinder-results-%1").arg(counter.fetchAndAddOrdered(1));
}

SqlStore::~SqlStore()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    database().close();
    QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase SqlStore::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool SqlStore::fail(const QString &what, const QString &why)
{
    m_error = what.isEmpty() ? why : what + QStringLiteral(": ") + why;
    return false;
}

bool SqlStore::open()
{
    m_open = connectDriver() && migrate();
    return m_open;
}

bool SqlStore::connectDriver()
{
    const bool sqlite = m_location.kind == StoreLocation::Kind::Sqlite;
    const QString driver = sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
    if (!QSqlDatabase::isDriverAvailable(driver))
        return fail(QString(), QStringLiteral("Qt's %1 driver is not installed").arg(driver));
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, m_connection);
    if (sqlite) {
        db.setDatabaseName(m_location.path);
        db.setConnectOptions(QLatin1String(kSqliteOptions));
    } else {
        db.setHostName(m_location.host);
        db.setPort(m_location.port);
        db.setUserName(m_location.user);
        db.setDatabaseName(m_location.database);
        db.setConnectOptions(QLatin1String(kPostgresOptions));
    }
    if (!db.open())
        return fail(QStringLiteral("cannot connect"), errorText(db.lastError()));
    return !sqlite || setUpSqlite();
}

// WAL lets readers (history) go on while a station writes; a file that is no database fails
// here, before anything is written to it. In WAL, synchronous = NORMAL keeps every commit atomic,
// and whole in the file once the program is killed (the system holds what was written); what it
// leaves out is the flush to the disk at each commit, which only a power cut would call for, and
// which once a second took the disk, and a core for the system's journal, from a live run.
// Pages of 16 kB (a new file takes them; an older one keeps its own) and a cache of 32 MB: a
// long run's rows then cost a quarter of the writes to the log and are not spilled to the file
// and read back before their commit.
bool SqlStore::setUpSqlite()
{
    return exec(QStringLiteral("PRAGMA page_size = 16384")) &&
           exec(QStringLiteral("PRAGMA cache_size = -32768")) &&
           exec(QStringLiteral("PRAGMA journal_mode = WAL")) &&
           exec(QStringLiteral("PRAGMA synchronous = NORMAL")) &&
           exec(QStringLiteral("PRAGMA foreign_keys = ON"));
}

bool SqlStore::migrate()
{
    if (!begin())
        return false;
    const bool server = m_location.isServer();
    QSqlQuery query(database());
    bool ok =
        (!server ||
         run(query, QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kMigrationLock})) &&
        run(query,
            QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version"
                           " (version INTEGER PRIMARY KEY, applied_utc TEXT NOT NULL)"),
            {}) &&
        run(query, QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM schema_version"), {}) &&
        query.next();
    if (!ok) {
        fail(QStringLiteral("cannot read the schema version"), errorText(query.lastError()));
        rollback();
        return false;
    }
    const int current = query.value(0).toInt();
    query.finish();
    if (current > latestSchemaVersion()) {
        rollback();
        return fail(QString(), QStringLiteral("the store has schema version %1, newer than this "
                                              "program's %2: update the program")
                                   .arg(current)
                                   .arg(latestSchemaVersion()));
    }
    if (!applyMissing(current) || !commit()) {
        rollback();
        return false;
    }
    return true;
}

bool SqlStore::applyMissing(int current)
{
    QSqlQuery query(database());
    for (const Migration &migration : migrations()) {
        if (migration.version <= current)
            continue;
        for (const QString &statement : migration.statements) {
            if (!run(query, statement, {}))
                return fail(
                    QStringLiteral("cannot bring the schema to version %1").arg(migration.version),
                    errorText(query.lastError()));
        }
        const QVariantList values{migration.version, storedTime(QDateTime::currentDateTimeUtc())};
        if (!run(query, QStringLiteral("INSERT INTO schema_version VALUES (?, ?)"), values))
            return fail(QStringLiteral("cannot record schema version %1").arg(migration.version),
                        errorText(query.lastError()));
    }
    return true;
}

bool SqlStore::exec(const QString &sql, const QVariantList &values)
{
    QSqlQuery query(database());
    if (run(query, sql, values))
        return true;
    return fail(QString(), errorText(query.lastError()));
}

// SQLite takes the write lock at once, so that two writers never both hold a read lock that
// neither can turn into a write lock.
bool SqlStore::begin()
{
    return exec(m_location.isServer() ? QStringLiteral("BEGIN")
                                      : QStringLiteral("BEGIN IMMEDIATE"));
}

bool SqlStore::commit()
{
    return exec(QStringLiteral("COMMIT"));
}

void SqlStore::rollback()
{
    const QString error = m_error;
    exec(QStringLiteral("ROLLBACK"));
    m_error = error;
}

bool SqlStore::write(const RunRow &run, const QVector<MeasurementRow> &rows)
{
    if (!begin())
        return false;
    QVariantList values;
    for (const RunColumn &column : runColumns())
        values << column.get(run);
    if (!exec(upsertRunSql(), values) || !insertMeasurements(run.runId, rows) || !commit()) {
        rollback();
        return false;
    }
    return true;
}

bool SqlStore::insertMeasurements(const QString &runId, const QVector<MeasurementRow> &rows)
{
    if (m_location.isServer())
        return copyMeasurements(runId, rows);
    QSqlQuery full(database());
    for (int first = 0; first < rows.size(); first += kRowsPerInsert) {
        const int count = std::min(kRowsPerInsert, int(rows.size()) - first);
        QSqlQuery partial(database());
        QSqlQuery &query = count == kRowsPerInsert ? full : partial;
        if (!query.isValid() && query.lastQuery().isEmpty() &&
            !query.prepare(insertMeasurementsSql(count)))
            return fail(QString(), errorText(query.lastError()));
        for (int i = first; i < first + count; ++i) {
            for (const QVariant &value : measurementValues(runId, rows.at(i)))
                query.addBindValue(value);
        }
        if (!query.exec())
            return fail(QString(), errorText(query.lastError()));
        query.finish();
    }
    return true;
}

// COPY cannot skip rows stored already, which only a delivery repeated meets: then the rows go
// again as statements that skip them, from a savepoint taken before the COPY.
bool SqlStore::copyMeasurements(const QString &runId, const QVector<MeasurementRow> &rows)
{
    if (rows.isEmpty() || !MeasurementCopy::available(database()))
        return insertMeasurementArrays(runId, rows);
    if (!exec(QStringLiteral("SAVEPOINT before_copy")))
        return false;
    QString why;
    switch (MeasurementCopy::copy(database(), runId, rows, &why)) {
    case MeasurementCopy::Result::Copied:
        return true;
    case MeasurementCopy::Result::Duplicate:
        return exec(QStringLiteral("ROLLBACK TO SAVEPOINT before_copy")) &&
               insertMeasurementArrays(runId, rows);
    case MeasurementCopy::Result::Failed:
        break;
    }
    return fail(QString(), why);
}

bool SqlStore::insertMeasurementArrays(const QString &runId, const QVector<MeasurementRow> &rows)
{
    for (int first = 0; first < rows.size(); first += kRowsPerArrayInsert) {
        const int count = std::min(kRowsPerArrayInsert, int(rows.size()) - first);
        if (!exec(QLatin1String(kArrayInsertSql),
                  QVariantList{runId} + measurementArrays(rows, first, count)))
            return false;
    }
    return true;
}

bool SqlStore::runs(const RunFilter &filter, QVector<RunRow> &rows)
{
    QStringList columns, conditions{QStringLiteral("1 = 1")};
    for (const RunColumn &column : runColumns())
        columns << QLatin1String(column.name);
    QVariantList values;
    const auto where = [&](const char *condition, const QVariant &value) {
        conditions << QLatin1String(condition);
        values << value;
    };
    if (!filter.serial.isEmpty())
        where("serial = ?", filter.serial);
    if (!filter.station.isEmpty())
        where("station = ?", filter.station);
    if (filter.since.isValid())
        where("started_utc >= ?", storedTime(filter.since));
    if (!filter.runId.isEmpty())
        where("run_id = ?", filter.runId);
    if (filter.wholeRunsOnly)
        conditions << QStringLiteral("parent_run_id IS NULL");
    QSqlQuery query(database());
    query.setForwardOnly(true);
    const QString sql =
        QStringLiteral("SELECT %1 FROM runs WHERE %2 ORDER BY started_utc, run_id")
            .arg(columns.join(QLatin1Char(',')), conditions.join(QStringLiteral(" AND ")));
    if (!run(query, sql, values))
        return fail(QStringLiteral("cannot read the runs"), errorText(query.lastError()));
    while (query.next()) {
        RunRow row;
        for (int i = 0; i < runColumns().size(); ++i)
            runColumns().at(i).set(row, query.value(i));
        rows.append(row);
    }
    return true;
}

bool SqlStore::measurements(const QString &runId, QVector<MeasurementRow> &rows)
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    const QString sql = QStringLiteral("SELECT seq, time_utc, status, distance_m, latency_ms"
                                       " FROM measurements WHERE run_id = ? ORDER BY seq");
    if (!run(query, sql, {runId}))
        return fail(QStringLiteral("cannot read the measurements"), errorText(query.lastError()));
    while (query.next())
        rows.append(measurementFromValues(
            {query.value(0), query.value(1), query.value(2), query.value(3), query.value(4)}));
    return true;
}

bool SqlStore::removeRun(const QString &runId)
{
    if (!begin())
        return false;
    if (exec(QStringLiteral("DELETE FROM measurements WHERE run_id = ?"), {runId}) &&
        exec(QStringLiteral("DELETE FROM runs WHERE run_id = ?"), {runId}) && commit())
        return true;
    rollback();
    return false;
}

} // namespace rangefinder
