#pragma once

#include "results/runrow.h"
#include "results/storelocation.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <QVector>

namespace rangefinder {

// Which runs a query returns; empty fields do not filter.
struct RunFilter
{
    QString serial;
    QString station;
    QDateTime since; // runs started then or later
    QString runId;
    bool wholeRunsOnly = false; // leave out the runs that are part of a study
};

// One connection to a results store, SQLite or PostgreSQL, through QtSql. Every value goes in
// as a bound parameter, or as COPY data (measurements into PostgreSQL, where libpq is there). Not
// shared between threads: each thread opens its own.
class SqlStore
{
public:
    explicit SqlStore(const StoreLocation &location);
    ~SqlStore();
    SqlStore(const SqlStore &) = delete;
    SqlStore &operator=(const SqlStore &) = delete;

    // Connects and brings the schema up to date (other programs may be doing the same).
    bool open();
    bool isOpen() const { return m_open; }
    const StoreLocation &location() const { return m_location; }
    // The last failure: what the driver and the server said.
    QString errorString() const { return m_error; }

    // In one transaction: the run's row as it is now (inserted, or replacing the stored one)
    // and measurements not yet stored (those whose run_id and seq are there already are
    // skipped, so that writing the same again changes nothing).
    bool write(const RunRow &run, const QVector<MeasurementRow> &rows);
    bool runs(const RunFilter &filter, QVector<RunRow> &rows);
    bool measurements(const QString &runId, QVector<MeasurementRow> &rows);
    bool removeRun(const QString &runId);
    // A statement with its values bound, in a transaction of its own unless one is open.
    bool exec(const QString &sql, const QVariantList &values = {});
    bool begin();
    bool commit();
    void rollback();
    QSqlDatabase database() const;

private:
    bool connectDriver();
    bool setUpSqlite();
    bool migrate();
    bool applyMissing(int current);
    bool insertMeasurements(const QString &runId, const QVector<MeasurementRow> &rows);
    bool copyMeasurements(const QString &runId, const QVector<MeasurementRow> &rows);
    bool insertMeasurementArrays(const QString &runId, const QVector<MeasurementRow> &rows);
    bool fail(const QString &what, const QString &why);

    StoreLocation m_location;
    QString m_connection;
    QString m_error;
    bool m_open = false;
};

} // namespace rangefinder
