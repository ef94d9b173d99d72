#include "cli/accuracy.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace rangefinder {

namespace {

// The share of the tolerance band 2T that the resolution may take for the study to mean much.
constexpr double kResolutionShare = 0.05;
// The share of 2T that Cg and Cgk give the spread (6 s and 3 s) and the bias.
constexpr double kCgShare = 0.2;
constexpr double kCgkShare = 0.1;

// numerator / (k s), with s = 0 giving the sign of the numerator as an infinity.
double capability(double numerator, double k, double sd)
{
    if (sd > 0)
        return numerator / (k * sd);
    if (numerator == 0)
        return 0;
    return std::copysign(std::numeric_limits<double>::infinity(), numerator);
}

// Reference and tolerance exactly as given, to the 10^-9 of the unit that a reading is exact to:
// a limit that a reading lies on is then met, and a bias of exactly 10 % of the band is seen as
// such, whichever side it lies on.
qint64 nanoOf(double given)
{
    return std::llround(given * 1e9);
}

// The readings against the reference, in 10^-9 of the unit, where it matters exactly.
struct Deviations
{
    int count = 0;
    __int128 sum = 0; // of reading - reference
    qint64 largest = 0;
    int outside = 0;
};

Deviations deviationsOf(const RunStatistics &statistics, const AccuracySettings &s)
{
    Deviations d;
    const qint64 reference = nanoOf(s.reference);
    for (qint64 nm : statistics.nanometres) {
        const qint64 deviation = nanoUnitsOf(nm, s.unit) - reference;
        d.sum += deviation;
        if (std::abs(deviation) > std::abs(d.largest))
            d.largest = deviation;
        if (std::abs(deviation) > nanoOf(s.tolerance))
            ++d.outside;
    }
    d.count = statistics.nanometres.size();
    return d;
}

// 0.1 * 2T - |bias|, exactly as to its sign: n T - 5 |sum| over 5 n.
double cgkNumerator(const Deviations &d, const AccuracySettings &s)
{
    const __int128 absolute = d.sum < 0 ? -d.sum : d.sum;
    const __int128 scaled = __int128(d.count) * nanoOf(s.tolerance) - 5 * absolute;
    return double(static_cast<long double>(scaled) / (5.0L * d.count) * 1e-9L);
}

// A length as the user gave it: every decimal given, none added.
QString given(qint64 nano)
{
    const qint64 whole = std::abs(nano) / 1000000000;
    QString text = QString::number(whole);
    const qint64 fraction = std::abs(nano) % 1000000000;
    if (fraction != 0) {
        QString decimals = QStringLiteral("%1").arg(fraction, 9, 10, QLatin1Char('0'));
        while (decimals.endsWith(QLatin1Char('0')))
            decimals.chop(1);
        text += QLatin1Char('.') + decimals;
    }
    return nano < 0 ? QLatin1Char('-') + text : text;
}

QString given(double value)
{
    return given(nanoOf(value));
}

QString withUnit(double value, const AccuracySettings &s, bool withSign = false)
{
    return lengthText(value, withSign) + QLatin1Char(' ') + unitName(s.unit);
}

Criterion withinTolerance(const Verdict &v, int outside, const AccuracySettings &s)
{
    Criterion c{QStringLiteral("readings within tolerance"), QString()};
    const QString band = QStringLiteral("%1 to %2")
                             .arg(given(nanoOf(s.reference) - nanoOf(s.tolerance)),
                                  given(nanoOf(s.reference) + nanoOf(s.tolerance)) +
                                      QLatin1Char(' ') + unitName(s.unit));
    if (v.valid == 0)
        c.failure = QStringLiteral("no valid reading to judge against %1").arg(band);
    else if (outside > 0)
        c.failure = QStringLiteral("%1 of %2 readings outside %3, the farthest %4 off")
                        .arg(outside)
                        .arg(v.valid)
                        .arg(band, withUnit(v.largestDeviation, s, true));
    return c;
}

Criterion cgCriterion(const Verdict &v, const AccuracySettings &s)
{
    Criterion c{QStringLiteral("Cg at least %1").arg(indexText(s.minimumCg)), QString()};
    if (v.valid < 2)
        c.failure = QStringLiteral("Cg needs two valid readings or more, not %1").arg(v.valid);
    else if (!(v.cg >= s.minimumCg))
        c.failure = QStringLiteral("Cg %1 is below %2: the spread s %3 exceeds the %4 it may have")
                        .arg(indexText(v.cg), indexText(s.minimumCg), withUnit(v.sd, s),
                             withUnit(kCgShare * 2 * s.tolerance / (6 * s.minimumCg), s));
    return c;
}

Criterion cgkCriterion(const Verdict &v, const AccuracySettings &s)
{
    Criterion c{QStringLiteral("Cgk at least %1").arg(indexText(s.minimumCgk)), QString()};
    if (v.valid < 2) {
        c.failure = QStringLiteral("Cgk needs two valid readings or more, not %1").arg(v.valid);
        return c;
    }
    if (v.cgk >= s.minimumCgk)
        return c;
    const double room = kCgkShare * 2 * s.tolerance;
    const double allowed = room - s.minimumCgk * 3 * v.sd;
    const QString bias = withUnit(v.bias, s, true);
    if (v.cgk == 0 && v.sd == 0)
        c.failure = QStringLiteral("bias %1 reaches %2, 10 % of the tolerance band, which leaves "
                                   "Cgk at %3")
                        .arg(bias, withUnit(room, s), indexText(v.cgk));
    else if (allowed > 0)
        c.failure = QStringLiteral("bias %1 exceeds the %2 that Cgk %3 allows with s %4 "
                                   "(Cgk %5)")
                        .arg(bias, withUnit(allowed, s), indexText(s.minimumCgk), withUnit(v.sd, s),
                             indexText(v.cgk));
    else if (std::abs(v.bias) >= room)
        c.failure = QStringLiteral("bias %1 exceeds %2, 10 % of the tolerance band, which "
                                   "no Cgk above 0 allows (Cgk %3)")
                        .arg(bias, withUnit(room, s), indexText(v.cgk));
    else
        c.failure = QStringLiteral("Cgk %1 is below %2: the spread s %3 leaves no room for any "
                                   "bias (bias %4)")
                        .arg(indexText(v.cgk), indexText(s.minimumCgk), withUnit(v.sd, s), bias);
    return c;
}

Criterion failuresCriterion(const Verdict &v, const RunStatistics &r, const AccuracySettings &s)
{
    Criterion c{QStringLiteral("failed measurements at most %1").arg(s.allowedFailures), QString()};
    if (v.unsuccessful > s.allowedFailures)
        c.failure = QStringLiteral("%1 of %2 measurements failed or timed out, more than the %3 "
                                   "allowed (%4 failed, %5 of them rejected, %6 timed out)")
                        .arg(v.unsuccessful)
                        .arg(r.measurements)
                        .arg(s.allowedFailures)
                        .arg(r.failures)
                        .arg(r.rejected)
                        .arg(r.timeouts);
    return c;
}

// A device that drops off its line would stop a station in the middle of a batch.
Criterion disconnectionsCriterion(const RunStatistics &r, const AccuracySettings &s)
{
    Criterion c{QStringLiteral("disconnections at most %1").arg(s.allowedDisconnections),
                QString()};
    if (r.disconnections > s.allowedDisconnections)
        c.failure =
            QStringLiteral("the device went away %1, more than the %2 allowed "
                           "(%3 s away in all)")
                .arg(r.disconnections == 1 ? QStringLiteral("once")
                                           : QStringLiteral("%1 times").arg(r.disconnections))
                .arg(s.allowedDisconnections)
                .arg(r.awayMs / 1000.0, 0, 'f', 3);
    return c;
}

} // namespace

bool Verdict::passed() const
{
    return allPassed(criteria);
}

Verdict judge(const RunStatistics &statistics, const AccuracySettings &settings)
{
    const Deviations d = deviationsOf(statistics, settings);
    const std::optional<DistanceFigures> figures = distanceFigures(statistics, settings.unit);
    Verdict v;
    v.valid = d.count;
    v.unsuccessful = statistics.failures + statistics.timeouts;
    if (figures) {
        v.mean = figures->mean;
        v.bias = double(static_cast<long double>(d.sum) / d.count * 1e-9L);
        v.sd = figures->sd;
        v.largestDeviation = double(d.largest) * 1e-9;
    }
    v.cg = capability(kCgShare * 2 * settings.tolerance, 6, v.sd);
    v.cgk = figures ? capability(cgkNumerator(d, settings), 3, v.sd) : 0;
    const qint64 resolution = nanoUnitsOf(kNanometresPerTenth, settings.unit);
    v.resolution = double(resolution) * 1e-9;
    v.resolutionTooCoarse = 10 * resolution > nanoOf(settings.tolerance); // 5 % of 2T
    v.criteria = {withinTolerance(v, d.outside, settings), cgCriterion(v, settings),
                  cgkCriterion(v, settings), failuresCriterion(v, statistics, settings),
                  disconnectionsCriterion(statistics, settings)};
    return v;
}

QString formatVerdict(const Verdict &v, const AccuracySettings &s)
{
    const QString unit = unitName(s.unit);
    QString text = QStringLiteral("accuracy (%1): reference %2, tolerance %3, n %4")
                       .arg(unit, given(s.reference), given(s.tolerance))
                       .arg(v.valid);
    if (v.valid > 0)
        text += QStringLiteral(", mean %1, bias %2, sd %3, largest deviation %4")
                    .arg(lengthText(v.mean), lengthText(v.bias, true), lengthText(v.sd),
                         lengthText(v.largestDeviation, true));
    text += QLatin1Char('\n');
    if (v.valid > 1)
        text +=
            QStringLiteral("capability: Cg %1, Cgk %2\n").arg(indexText(v.cg), indexText(v.cgk));
    const QString share =
        QStringLiteral("%1, 5 % of the tolerance band 2T = %2")
            .arg(withUnit(kResolutionShare * 2 * s.tolerance, s), withUnit(2 * s.tolerance, s));
    text +=
        v.resolutionTooCoarse
            ? QStringLiteral("warning: resolution %1 is more than %2: the study does not "
                             "mean much\n")
                  .arg(withUnit(v.resolution, s), share)
            : QStringLiteral("resolution: %1, at most %2\n").arg(withUnit(v.resolution, s), share);
    return text + verdictLine(v.criteria);
}

bool allPassed(const QVector<Criterion> &criteria)
{
    return std::all_of(criteria.cbegin(), criteria.cend(),
                       [](const Criterion &c) { return c.passed(); });
}

QString verdictLine(const QVector<Criterion> &criteria)
{
    QStringList failures;
    for (const Criterion &c : criteria) {
        if (!c.passed())
            failures << c.failure;
    }
    return failures.isEmpty()
               ? QStringLiteral("PASS: %1 of %1 criteria met\n").arg(criteria.size())
               : QStringLiteral("FAIL: %1\n").arg(failures.join(QStringLiteral("; ")));
}

QString givenText(double value)
{
    return given(value);
}

QString indexText(double index)
{
    if (std::isinf(index))
        return QLatin1String(index > 0 ? "inf" : "-inf");
    const QString text = QString::number(index, 'f', 2);
    return text == QLatin1String("-0.00") ? QStringLiteral("0.00") : text;
}

QString lengthText(double value, bool withSign)
{
    QString text = QString::number(value, 'f', 3);
    if (text == QLatin1String("-0.000"))
        text = QStringLiteral("0.000");
    return withSign && !text.startsWith(QLatin1Char('-')) ? QLatin1Char('+') + text : text;
}

} // namespace rangefinder
