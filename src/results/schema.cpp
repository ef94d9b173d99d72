#include "results/schema.h"

namespace rangefinder {

namespace {

// Times are text (UTC, ISO 8601 with milliseconds) and run ids text (a UUID), so that one schema
// serves both databases and a run moves between them unchanged.
const QVector<Migration> kMigrations = {
    {1,
     {QStringLiteral("CREATE TABLE runs ("
                     " run_id TEXT PRIMARY KEY,"
                     " kind TEXT NOT NULL,"
                     " schema_version INTEGER NOT NULL,"
                     " station TEXT, operator TEXT, serial TEXT NOT NULL, port TEXT,"
                     " program_version TEXT,"
                     " started_utc TEXT NOT NULL, ended_utc TEXT,"
                     " outcome TEXT NOT NULL"
                     "  CHECK (outcome IN ('PASS', 'FAIL', 'DONE', 'ERROR', 'ABORTED')),"
                     " reference DOUBLE PRECISION, tolerance DOUBLE PRECISION, unit TEXT,"
                     " n INTEGER, mean DOUBLE PRECISION, bias DOUBLE PRECISION,"
                     " sd DOUBLE PRECISION, cg DOUBLE PRECISION, cgk DOUBLE PRECISION,"
                     " reasons TEXT)"),
      QStringLiteral("CREATE INDEX runs_by_serial ON runs (serial, started_utc)"),
      QStringLiteral("CREATE INDEX runs_by_start ON runs (started_utc)"),
      QStringLiteral("CREATE TABLE measurements ("
                     " run_id TEXT NOT NULL REFERENCES runs (run_id) ON DELETE CASCADE,"
                     " seq INTEGER NOT NULL,"
                     " time_utc TEXT NOT NULL,"
                     " status TEXT NOT NULL,"
                     " distance_m DOUBLE PRECISION,"
                     " latency_ms BIGINT,"
                     " PRIMARY KEY (run_id, seq))")}},
    // Studies: a run made of runs (parent_run_id names the study a per-reference run belongs
    // to) and a fitted line's figures. No foreign key on parent_run_id: the outbox delivers a
    // study's runs one by one in no set order, and a server may get a part before its whole.
    {2,
     {QStringLiteral("ALTER TABLE runs ADD COLUMN parent_run_id TEXT"),
      QStringLiteral("ALTER TABLE runs ADD COLUMN slope DOUBLE PRECISION"),
      QStringLiteral("ALTER TABLE runs ADD COLUMN slope_p DOUBLE PRECISION"),
      QStringLiteral("ALTER TABLE runs ADD COLUMN intercept DOUBLE PRECISION"),
      QStringLiteral("ALTER TABLE runs ADD COLUMN intercept_p DOUBLE PRECISION"),
      QStringLiteral("ALTER TABLE runs ADD COLUMN r_squared DOUBLE PRECISION"),
      QStringLiteral("CREATE INDEX runs_by_parent ON runs (parent_run_id)")}},
};

} // namespace

const QVector<Migration> &migrations()
{
    return kMigrations;
}

int latestSchemaVersion()
{
    return kMigrations.constLast().version;
}

} // namespace rangefinder
