#pragma once

#include "cli/measurement.h"

#include <QString>
#include <QVector>

#include <optional>

// Nearest-rank percentile (0 < percent <= 100) of values; -1 when there are none.
qint64 percentile(QVector<qint64> values, double percent);

// What the summary reports: counts, and the valid distances (in metres) and reply latencies.
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
