#pragma once

#include "cli/accuracy.h"

#include <QString>
#include <QVector>

#include <optional>

namespace rangefinder {

// A gauge linearity and bias study: a device measures several targets at known distances
// across its range, many times each, and the study asks whether its bias changes with the
// distance. Every length is in one unit, the study's; nothing here reads or writes anything.

// What was measured at one reference distance.
struct ReferenceReadings
{
    double reference = 0;
    QVector<double> readings; // the valid ones
    int unsuccessful = 0;     // failed, rejected or timed-out measurements, left out
};

struct LinearitySettings
{
    std::optional<double> processSigma; // S: linearity = |b| x 6S
    std::optional<double> tolerance;    // T: each bias as a share of 2T
    std::optional<double> maxBias;      // B: every mean bias within +/- B
};

// A statistic tested against zero: two-sided, Student's t.
struct Tested
{
    double value = 0;
    double se = 0; // its standard error; 0 when the points have no scatter
    double t = 0;  // value / se; +/-inf for a value off zero with no scatter, 0 for 0/0
    double p = 1;
    bool significant() const;
};

struct ReferenceBias
{
    double reference = 0;
    int n = 0; // valid readings
    int unsuccessful = 0;
    double sd = 0;    // sample standard deviation of the readings
    Tested bias;      // mean reading - reference; n - 1 degrees of freedom
    double range = 0; // max - min of the readings
};

// The least-squares line bias = a + b x reference over every reading.
struct LinearityFit
{
    int n = 0;            // readings
    Tested intercept;     // a; n - 2 degrees of freedom
    Tested slope;         // b
    double tCritical = 0; // two-sided 95 % quantile, n - 2 degrees of freedom
    double s = 0;         // standard deviation of the points about the line
    double rSquared = 0;  // NaN when every bias is the same: the line explains nothing
    double meanX = 0;     // of the references, reading by reading
    double sumSquaresX = 0;

    double fitted(double reference) const { return intercept.value + slope.value * reference; }
    // Half the width of the 95 % confidence band of the line at reference.
    double bandHalfWidth(double reference) const;
    // The 95 % confidence interval of a coefficient of the line.
    double ciLow(const Tested &coefficient) const;
    double ciHigh(const Tested &coefficient) const;
};

struct LinearityStudy
{
    QVector<ReferenceBias> references; // in ascending order of reference
    LinearityFit fit;
    LinearitySettings settings;
    std::optional<double> linearity;        // |b| x 6S, with a process sigma
    std::optional<double> percentLinearity; // 100 |b|
    QVector<Criterion> criteria;

    bool passed() const;
    // A reference's mean bias as a percentage of the tolerance band 2T; NaN without one.
    double percentOfTolerance(const ReferenceBias &reference) const;
};

// The significance level of every test, and of the confidence band and intervals (95 %).
inline constexpr double kLinearityAlpha = 0.05;
// Fewer references than this make a study that the AIAG manual does not recognise; the report
// says so but still makes it.
inline constexpr int kRecommendedReferences = 5;

// A figure of the study as its report prints it: six significant digits.
QString figureText(double value);

// Two-sided p of t with df degrees of freedom; t may be infinite.
double twoSidedP(double t, double df);
// The two-sided 95 % quantile of Student's t with df degrees of freedom.
double tQuantile95(double df);

// The study, or why none can be made (in error): fewer than two references, a reference given
// twice, or one with fewer than two valid readings.
std::optional<LinearityStudy> studyLinearity(QVector<ReferenceReadings> runs,
                                             const LinearitySettings &settings, QString *error);

} // namespace rangefinder
