#include "cli/linearity.h"

#include <QStringList>

#include <boost/math/distributions/students_t.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace rangefinder {

namespace {

// Readings pass through single precision on their way from the device: a scatter this far below
// the figures is the rounding of sums, not a spread (real readings differ by tenths).
constexpr double kNoScatter = 1e-9;

bool negligible(double value, double scale)
{
    return std::abs(value) <= kNoScatter * std::max(scale, 1.0);
}

// value / se, where no scatter makes any value off zero infinitely significant and zero none.
Tested tested(double value, double se, double df, double scale)
{
    Tested x;
    x.value = value;
    x.se = negligible(se, scale) ? 0.0 : se;
    if (x.se > 0)
        x.t = value / x.se;
    else if (negligible(value, scale))
        x.t = 0;
    else
        x.t = std::copysign(std::numeric_limits<double>::infinity(), value);
    x.p = twoSidedP(x.t, df);
    return x;
}

double largestMagnitude(const QVector<ReferenceReadings> &runs)
{
    double scale = 0;
    for (const ReferenceReadings &run : runs) {
        scale = std::max(scale, std::abs(run.reference));
        for (double r : run.readings)
            scale = std::max(scale, std::abs(r));
    }
    return scale;
}

ReferenceBias referenceBias(const ReferenceReadings &run, double scale)
{
    ReferenceBias r;
    r.reference = run.reference;
    r.n = run.readings.size();
    r.unsuccessful = run.unsuccessful;
    double sum = 0;
    for (double reading : run.readings)
        sum += reading - run.reference;
    const double mean = sum / r.n;
    double squares = 0;
    for (double reading : run.readings)
        squares += std::pow(reading - run.reference - mean, 2);
    r.sd = std::sqrt(squares / (r.n - 1));
    const auto [low, high] = std::minmax_element(run.readings.cbegin(), run.readings.cend());
    r.range = *high - *low;
    r.bias = tested(mean, r.sd / std::sqrt(double(r.n)), r.n - 1, scale);
    r.sd = r.bias.se > 0 ? r.sd : 0.0;
    return r;
}

struct Sums
{
    double n = 0, meanX = 0, meanY = 0, sxx = 0, sxy = 0, syy = 0;
};

Sums sumsOf(const QVector<ReferenceReadings> &runs)
{
    Sums s;
    for (const ReferenceReadings &run : runs) {
        for (double reading : run.readings) {
            s.n += 1;
            s.meanX += run.reference;
            s.meanY += reading - run.reference;
        }
    }
    s.meanX /= s.n;
    s.meanY /= s.n;
    for (const ReferenceReadings &run : runs) {
        for (double reading : run.readings) {
            const double dx = run.reference - s.meanX;
            const double dy = reading - run.reference - s.meanY;
            s.sxx += dx * dx;
            s.sxy += dx * dy;
            s.syy += dy * dy;
        }
    }
    return s;
}

LinearityFit fitLine(const QVector<ReferenceReadings> &runs, double scale)
{
    const Sums sums = sumsOf(runs);
    LinearityFit fit;
    fit.n = int(sums.n);
    fit.meanX = sums.meanX;
    fit.sumSquaresX = sums.sxx;
    const double b = sums.sxy / sums.sxx;
    const double a = sums.meanY - b * sums.meanX;
    const double residual = std::max(0.0, sums.syy - b * sums.sxy);
    const double df = sums.n - 2;
    fit.s = std::sqrt(residual / df);
    if (negligible(fit.s, scale))
        fit.s = 0;
    fit.slope = tested(b, fit.s / std::sqrt(sums.sxx), df, scale);
    fit.intercept =
        tested(a, fit.s * std::sqrt(1 / sums.n + sums.meanX * sums.meanX / sums.sxx), df, scale);
    fit.tCritical = tQuantile95(df);
    fit.rSquared = negligible(std::sqrt(sums.syy), scale)
                       ? std::numeric_limits<double>::quiet_NaN()
                       : std::min(1.0, std::max(0.0, 1 - residual / sums.syy));
    return fit;
}

QString pText(double p)
{
    return QString::number(p, 'f', 3);
}

Criterion coefficientCriterion(const QString &what, const QString &present, const Tested &x)
{
    Criterion c{QStringLiteral("%1 not significant (p >= %2)").arg(what).arg(kLinearityAlpha),
                QString()};
    if (x.significant())
        c.failure =
            QStringLiteral("%1 (%2 %3, p %4)").arg(present, what, figureText(x.value), pText(x.p));
    return c;
}

Criterion maxBiasCriterion(const QVector<ReferenceBias> &references, double maxBias)
{
    Criterion c{QStringLiteral("every mean bias within +/- %1").arg(figureText(maxBias)),
                QString()};
    QStringList outside;
    for (const ReferenceBias &r : references) {
        if (std::abs(r.bias.value) > maxBias + kNoScatter * std::max(maxBias, 1.0))
            outside << QStringLiteral("%1 at %2")
                           .arg(figureText(r.bias.value), figureText(r.reference));
    }
    if (!outside.isEmpty())
        c.failure = QStringLiteral("mean bias outside +/- %1: %2")
                        .arg(figureText(maxBias), outside.join(QStringLiteral(", ")));
    return c;
}

// A device that fails to measure at some distance is no better there for the readings it gave.
Criterion failuresCriterion(const QVector<ReferenceBias> &references)
{
    Criterion c{QStringLiteral("no failed measurements"), QString()};
    int failed = 0, all = 0;
    QStringList where;
    for (const ReferenceBias &r : references) {
        failed += r.unsuccessful;
        all += r.n + r.unsuccessful;
        if (r.unsuccessful > 0)
            where << QStringLiteral("%1 at %2").arg(r.unsuccessful).arg(figureText(r.reference));
    }
    if (failed > 0)
        c.failure = QStringLiteral("%1 of %2 measurements failed or timed out (%3)")
                        .arg(failed)
                        .arg(all)
                        .arg(where.join(QStringLiteral(", ")));
    return c;
}

QVector<Criterion> criteriaOf(const LinearityStudy &study)
{
    QVector<Criterion> criteria{
        coefficientCriterion(QStringLiteral("slope"), QStringLiteral("linearity present"),
                             study.fit.slope),
        coefficientCriterion(QStringLiteral("intercept"), QStringLiteral("bias present"),
                             study.fit.intercept)};
    if (study.settings.maxBias)
        criteria << maxBiasCriterion(study.references, *study.settings.maxBias);
    criteria << failuresCriterion(study.references);
    return criteria;
}

// Why the runs make no study; empty when they make one.
QString unfit(const QVector<ReferenceReadings> &runs)
{
    if (runs.size() < 2)
        return QStringLiteral("a linearity study needs two reference distances or more (%1 or "
                              "more recommended), not %2")
            .arg(kRecommendedReferences)
            .arg(runs.size());
    for (int i = 1; i < runs.size(); ++i) {
        if (runs.at(i).reference == runs.at(i - 1).reference)
            return QStringLiteral("reference %1 is given twice")
                .arg(figureText(runs.at(i).reference));
    }
    for (const ReferenceReadings &run : runs) {
        if (run.readings.size() < 2)
            return QStringLiteral("reference %1 has %2 valid readings (%3 failed or timed out); "
                                  "each reference needs two or more")
                .arg(figureText(run.reference))
                .arg(run.readings.size())
                .arg(run.unsuccessful);
    }
    return QString();
}

} // namespace

QString figureText(double value)
{
    return QString::number(value, 'g', 6);
}

bool Tested::significant() const
{
    return p < kLinearityAlpha;
}

double LinearityFit::bandHalfWidth(double reference) const
{
    const double dx = reference - meanX;
    return tCritical * s * std::sqrt(1.0 / n + dx * dx / sumSquaresX);
}

double LinearityFit::ciLow(const Tested &coefficient) const
{
    return coefficient.value - tCritical * coefficient.se;
}

double LinearityFit::ciHigh(const Tested &coefficient) const
{
    return coefficient.value + tCritical * coefficient.se;
}

bool LinearityStudy::passed() const
{
    return allPassed(criteria);
}

double LinearityStudy::percentOfTolerance(const ReferenceBias &reference) const
{
    if (!settings.tolerance || *settings.tolerance <= 0)
        return std::numeric_limits<double>::quiet_NaN();
    return 100 * std::abs(reference.bias.value) / (2 * *settings.tolerance);
}

double twoSidedP(double t, double df)
{
    if (std::isinf(t))
        return 0;
    const boost::math::students_t distribution(df);
    return std::min(1.0, 2 * boost::math::cdf(boost::math::complement(distribution, std::abs(t))));
}

double tQuantile95(double df)
{
    const boost::math::students_t distribution(df);
    return boost::math::quantile(boost::math::complement(distribution, kLinearityAlpha / 2));
}

std::optional<LinearityStudy> studyLinearity(QVector<ReferenceReadings> runs,
                                             const LinearitySettings &settings, QString *error)
{
    std::sort(runs.begin(), runs.end(), [](const ReferenceReadings &x, const ReferenceReadings &y) {
        return x.reference < y.reference;
    });
    *error = unfit(runs);
    if (!error->isEmpty())
        return std::nullopt;
    const double scale = largestMagnitude(runs);
    LinearityStudy study;
    study.settings = settings;
    for (const ReferenceReadings &run : qAsConst(runs))
        study.references << referenceBias(run, scale);
    study.fit = fitLine(runs, scale);
    study.percentLinearity = 100 * std::abs(study.fit.slope.value);
    if (settings.processSigma)
        study.linearity = std::abs(study.fit.slope.value) * 6 * *settings.processSigma;
    study.criteria = criteriaOf(study);
    return study;
}

} // namespace rangefinder
