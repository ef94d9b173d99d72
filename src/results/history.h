#pragma once

#include "results/runrow.h"

#include <QString>
#include <QVector>

#include <optional>

namespace rangefinder {

// An individuals chart of a device's bias over its checks: the centre line is the mean bias,
// the limits lie 2.66 mean moving ranges either side (3 sigma, sigma estimated as MR/1.128).
struct ControlLimits
{
    double centre = 0;
    double lower = 0;
    double upper = 0;
    int checks = 0; // how many checks they were worked out from
};

// Fewer checks than this say too little about a device's spread to draw limits from.
constexpr int kChecksForLimits = 8;

std::optional<ControlLimits> controlLimits(const QVector<double> &biases);

// A device's checks judged: its latest check against the limits of the checks before it (once
// there are kChecksForLimits of them) and against its tolerance.
struct Drift
{
    QString serial;
    QVector<RunRow> checks; // oldest first, the latest last
    std::optional<ControlLimits> limits;
    bool outsideLimits = false;
    bool outsideTolerance = false;

    bool drifting() const { return outsideLimits || outsideTolerance; }
    QString description() const; // one line: which check, its bias, against what
};

// A check: a type-1 run that came to a verdict, so that it has a bias.
bool isCheck(const RunRow &run);

// One Drift per device that has checks among the runs (oldest first), in the order of their
// latest check.
QVector<Drift> judgeDrift(const QVector<RunRow> &runs);

enum class HistoryFormat { Text, Csv, Jsonl };
// The runs, one a line: text in columns for people; CSV and JSONL with every column of runs.
QString formatHistory(const QVector<RunRow> &runs, HistoryFormat format);

} // namespace rangefinder
