#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVector>

#include <array>
#include <optional>

namespace rangefinder {

// How a run ended, as its row keeps it. A run's row is written as Aborted when it begins, so
// that a run killed on the way shows as such.
enum class StoredOutcome { Pass, Fail, Done, Error, Aborted };
QString outcomeName(StoredOutcome outcome);
std::optional<StoredOutcome> outcomeFromName(const QString &name);

// What a run is: a plain one (measurements only), a type-1 check against a reference, or a
// linearity study, which holds a run per reference measured.
extern const char kPlainRun[];
extern const char kCheckRun[];
extern const char kLinearityRun[];
extern const char kLinearityReferenceRun[];

// One row of the table runs. Lengths are in unit, Cg and Cgk may be infinite.
struct RunRow
{
    QString runId; // a UUID
    QString kind = QLatin1String(kPlainRun);
    int schemaVersion = 0;
    QString station, operatorName, serial, port, programVersion;
    QDateTime started, ended; // UTC; ended is the last measurement so far while a run goes on
    StoredOutcome outcome = StoredOutcome::Aborted;
    std::optional<double> reference, tolerance;
    QString unit;
    std::optional<int> n; // valid readings
    std::optional<double> mean, bias, sd, cg, cgk;
    QString reasons;     // why it failed: each failed criterion, separated by "; "
    QString parentRunId; // the study this run is part of; empty for a run of its own
    // A study's line bias = intercept + slope x reference, the p of each, and R² (null when
    // every bias is the same and the line explains nothing).
    std::optional<double> slope, slopeP, intercept, interceptP, rSquared;
};

// One row of the table measurements: seq counts from 0 within a run.
struct MeasurementRow
{
    int seq = 0;
    QDateTime time; // UTC
    QString status; // ok, failed, timeout, rejected, disconnected
    std::optional<double> metres;
    std::optional<qint64> latencyMs;
};

// The columns of runs, each with how a row gives and takes its value: the one list that code
// reading or writing the table follows (the migrations keep their own frozen text).
struct RunColumn
{
    const char *name;
    QVariant (*get)(const RunRow &row);
    void (*set)(RunRow &row, const QVariant &value);
};
const QVector<RunColumn> &runColumns();

extern const char *const kMeasurementColumns[6];
std::array<QVariant, 6> measurementValues(const QString &runId, const MeasurementRow &row);
MeasurementRow measurementFromValues(const QVector<QVariant> &values); // after the run_id

// Times as the store keeps them: UTC, ISO 8601 with milliseconds, so that text order is time
// order.
QString storedTime(const QDateTime &time);
QDateTime timeFromStored(const QString &text);

} // namespace rangefinder
