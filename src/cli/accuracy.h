#pragma once

#include "cli/recordformat.h"
#include "cli/runstatistics.h"
#include "core/measurementtext.h"

#include <QString>
#include <QVector>

namespace rangefinder {

// A type-1 gauge study of one device: many readings of one target at a known distance,
// judged for bias and repeatability against the tolerance.
struct AccuracySettings
{
    LengthUnit unit = LengthUnit::Metre; // of reference and tolerance
    double reference = 0;
    double tolerance = 0; // T: the readings may lie within reference ± T
    double minimumCg = 1.33;
    double minimumCgk = 1.33;
    int allowedFailures = 0;       // failed, rejected and timed-out measurements
    int allowedDisconnections = 0; // times the device went away (--reconnect)
};

struct Criterion
{
    QString name;    // what is checked, as a report lists it
    QString failure; // empty when it passed; else why, in the figures that failed
    bool passed() const { return failure.isEmpty(); }
};

bool allPassed(const QVector<Criterion> &criteria);
// The line that ends a verdict: PASS with the number of criteria, or FAIL naming each failure.
QString verdictLine(const QVector<Criterion> &criteria);

// With s = 0 a capability index whose numerator is positive is +infinity, negative -infinity,
// zero 0: a device that repeats itself exactly is capable unless its bias is too large.
struct Verdict
{
    int valid = 0;                    // readings with a distance
    int unsuccessful = 0;             // failed, rejected or timed out
    double mean = 0;                  // the figures in the settings' unit; with no reading all 0
    double bias = 0;                  // mean - reference
    double sd = 0;                    // sample standard deviation, 0 for fewer than two readings
    double largestDeviation = 0;      // the reading farthest from the reference, signed
    double cg = 0, cgk = 0;           // meaningful only with two readings or more
    double resolution = 0;            // the device's 0.1 m
    bool resolutionTooCoarse = false; // more than 5 % of 2T: a warning about the study
    QVector<Criterion> criteria;

    bool passed() const;
};

// The statistics of one device's run judged against the settings.
Verdict judge(const RunStatistics &statistics, const AccuracySettings &settings);

// Lines for stderr, after the summary: the figures, the resolution, and the verdict line that
// begins PASS or FAIL and names every criterion that failed.
QString formatVerdict(const Verdict &verdict, const AccuracySettings &settings);

// A reference or tolerance with every decimal given (to 10^-9) and none added: 15000.04.
QString givenText(double value);
// A capability index with two decimals, or inf / -inf.
QString indexText(double index);
// A length worked out from readings, three decimals; signed where that says which side of the
// reference it lies on.
QString lengthText(double value, bool withSign = false);

} // namespace rangefinder
