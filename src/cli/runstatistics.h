#pragma once

#include "cli/measurement.h"

#include <QString>
#include <QVector>

#include <optional>

namespace rangefinder {

// Nearest-rank percentile (0 < percent <= 100) of values; -1 when there are none.
qint64 percentile(QVector<qint64> values, double percent);

// What the summary reports: counts, and the valid distances and reply latencies.
struct RunStatistics
{
    int measurements = 0;
    int failures = 0; // rejected ones included
    int rejected = 0;
    int timeouts = 0;
    int ignoredReplies = 0;
    int unsent = 0; // read back from a window log: commands the window could not write
    int disconnections = 0;
    qint64 awayMs = 0;
    bool endedAway = false; // the last record is a disconnection
    // Exact: a device counts in tenths of a metre, 10^8 nm each; a value typed into a log by
    // hand is kept to the nanometre.
    QVector<qint64> nanometres;
    QVector<qint64> latenciesMs; // of every reply whose latency is known

    void add(const Measurement &measurement);
    bool allOk() const { return failures == 0 && timeouts == 0; }
};

inline constexpr qint64 kNanometresPerTenth = 100000000; // the device's step

// A valid distance in unit, in 10^-9 of it. Exact for a device's reading: its tenths times the
// unit's factor, which has at most eight decimals.
qint64 nanoUnitsOf(qint64 nanometres, LengthUnit unit);

// The one computation of the valid distances' figures: the summary, the chart and the verdict
// all take theirs from here.
struct DistanceFigures
{
    double min = 0, max = 0, mean = 0, sd = 0; // in the unit; sd is the sample standard deviation
};
// None without a valid distance.
std::optional<DistanceFigures> distanceFigures(const RunStatistics &statistics,
                                               LengthUnit unit = LengthUnit::Metre);

// The summary's first two lines, without line ends: the counts, and the distance figures.
QString countsLine(const RunStatistics &statistics);
QString distanceLine(const RunStatistics &statistics);

// A few lines for stderr: counts; min, max, mean and sample standard deviation of the valid
// distances in metres; latency p50 and p99 of every decoded reply.
QString formatSummary(const RunStatistics &statistics);

} // namespace rangefinder
