#include "results/outbox.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>

namespace rangefinder {

namespace {

StoreLocation sqliteAt(const QString &path)
{
    StoreLocation location;
    location.kind = StoreLocation::Kind::Sqlite;
    location.path = path;
    location.text = QStringLiteral("sqlite:") + path;
    return location;
}

} // namespace

Outbox::Outbox(const QString &path) : m_store(sqliteAt(path)) {}

bool Outbox::open()
{
    QDir().mkpath(QFileInfo(path()).absolutePath());
    return m_store.open() &&
           m_store.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS outbox_runs"
                                       " (run_id TEXT PRIMARY KEY, target TEXT NOT NULL)"));
}

bool Outbox::keep(const QString &target, const RunRow &run, const QVector<MeasurementRow> &rows)
{
    // Named as waiting first: a run whose rows are here but that waits for no server would
    // never leave.
    return m_store.exec(QStringLiteral("INSERT INTO outbox_runs VALUES (?, ?) ON CONFLICT DO "
                                       "NOTHING"),
                        {run.runId, target}) &&
           m_store.write(run, rows);
}

int Outbox::waiting(const QString &target)
{
    QSqlQuery query(m_store.database());
    if (target.isEmpty()) {
        query.exec(QStringLiteral("SELECT COUNT(*) FROM outbox_runs"));
    } else {
        query.prepare(QStringLiteral("SELECT COUNT(*) FROM outbox_runs WHERE target = ?"));
        query.addBindValue(target);
        query.exec();
    }
    return query.isActive() && query.next() ? query.value(0).toInt() : -1;
}

bool Outbox::targets(QStringList &names)
{
    QSqlQuery query(m_store.database());
    if (!query.exec(QStringLiteral("SELECT DISTINCT target FROM outbox_runs ORDER BY target")))
        return false;
    while (query.next())
        names << query.value(0).toString();
    return true;
}

int Outbox::deliver(SqlStore &server)
{
    QStringList runIds;
    {
        QSqlQuery query(m_store.database());
        query.prepare(QStringLiteral("SELECT run_id FROM outbox_runs WHERE target = ?"));
        query.addBindValue(server.location().text);
        if (!query.exec())
            return -1;
        while (query.next())
            runIds << query.value(0).toString();
    }
    int delivered = 0;
    for (const QString &runId : qAsConst(runIds)) {
        QVector<RunRow> runs;
        QVector<MeasurementRow> rows;
        if (!m_store.runs({{}, {}, {}, runId}, runs) || !m_store.measurements(runId, rows))
            return -1;
        if (!runs.isEmpty() && !server.write(runs.constFirst(), rows))
            return -1;
        if (!m_store.removeRun(runId) ||
            !m_store.exec(QStringLiteral("DELETE FROM outbox_runs WHERE run_id = ?"), {runId}))
            return -1;
        ++delivered;
    }
    return delivered;
}

} // namespace rangefinder
