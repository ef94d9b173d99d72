#pragma once

#include "cli/measurement.h"
#include "core/measurementtext.h"

#include <QString>
#include <QVector>

#include <optional>

enum class RecordFormat { Text, Csv, Jsonl };

// "m", "yd", "ft" and back.
QString unitName(LengthUnit unit);
std::optional<LengthUnit> unitFromName(const QString &name);
std::optional<RecordFormat> formatFromName(const QString &name);
QString statusName(Measurement::Status status);
std::optional<Measurement::Status> statusFromName(const QString &name);

// The distance of a valid measurement in metres: from the reply, or computed back from the
// value as written.
double distanceMetres(const Measurement &measurement);
// The same in unit: the value as written when it was written in unit, else converted.
double distanceIn(const Measurement &measurement, LengthUnit unit);

// The time field of a record: ISO 8601, or hours:minutes:seconds for a window log's.
QString recordTimeText(const Measurement &measurement);
// The time field of a record back into a time: ISO 8601, or the hours:minutes:seconds of a
// record read from a window log (timeOfDayOnly is then set). Invalid when it is neither.
QDateTime recordTimeFromText(const QString &text, bool *timeOfDayOnly);

// The CSV header row with its line end, with a last column port when records carry one; empty
// for the other formats.
QString recordHeader(RecordFormat format, bool withPort = false);

// One whole record with its line end. A disconnection carries in latency_ms how long the port
// stayed away. The distance in metres and the value in `unit` carry the
// window's six-digit text; a failed or timed-out measurement has neither (empty in text and
// CSV, null in JSON). No field contains a comma, so CSV needs no quoting. The last field, check,
// says whether the reply's check byte matches: match, mismatch or absent. A port, when several
// are measured, comes first in text, last in CSV, and as the key port in JSON.
QString formatRecord(const Measurement &measurement, RecordFormat format, LengthUnit unit,
                     const QString &port = QString());

// Nearest-rank percentile (0 < percent <= 100) of values; -1 when there are none.
qint64 percentile(QVector<qint64> values, double percent);

// What the summary reports: counts, and the valid distances (in metres) and reply latencies.
struct RunStatistics
{
    int measurements = 0;
    int failures = 0; // rejected ones included
    int rejected = 0;
    int timeouts = 0;
    int ignoredBursts = 0;
    int unsent = 0; // read back from a window log: commands the window could not write
    int disconnections = 0;
    qint64 awayMs = 0;
    bool endedAway = false; // the last record is a disconnection
    QVector<double> metres;
    QVector<qint64> latenciesMs; // of every reply whose latency is known

    void add(const Measurement &measurement);
    bool allOk() const { return failures == 0 && timeouts == 0; }
};

struct DistanceFigures
{
    double min = 0, max = 0, mean = 0, sd = 0; // metres; sd is the sample standard deviation
};
// None without a valid distance.
std::optional<DistanceFigures> distanceFigures(const RunStatistics &statistics);

// The summary's first two lines, without line ends: the counts, and the distance figures.
QString countsLine(const RunStatistics &statistics);
QString distanceLine(const RunStatistics &statistics);

// A few lines for stderr: counts; min, max, mean and sample standard deviation of the valid
// distances in metres; latency p50 and p99 of every decoded reply.
QString formatSummary(const RunStatistics &statistics);
