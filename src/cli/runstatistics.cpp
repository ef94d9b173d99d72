#include "cli/runstatistics.h"

#include "cli/recordformat.h"

#include <algorithm>
#include <cmath>

namespace rangefinder {

namespace {

// percentile() of values already sorted, at least one: the summary takes two ranks of one sort.
qint64 nearestRank(const QVector<qint64> &sorted, double percent)
{
    const auto rank = static_cast<int>(std::ceil(percent / 100.0 * sorted.size()));
    return sorted.at(std::min(std::max(rank, 1), sorted.size()) - 1);
}

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

qint64 nanometresOf(const Measurement &measurement)
{
    // A value typed by hand can be any size; beyond a million kilometres it is kept at that, so
    // that it still fits in nanometres in every unit.
    if (measurement.written)
        return std::llround(std::min(distanceMetres(measurement), 1e9) * 1e9);
    return measurement.reply.distanceTenths * kNanometresPerTenth;
}

} // namespace

qint64 percentile(QVector<qint64> values, double percent)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return nearestRank(values, percent);
}

void RunStatistics::add(const Measurement &measurement)
{
    endedAway = measurement.status == Measurement::Status::Disconnected;
    if (endedAway) {
        ++disconnections;
        awayMs += std::max<qint64>(measurement.latencyMs, 0);
        return;
    }
    ++measurements;
    switch (measurement.status) {
    case Measurement::Status::Ok:
        nanometres.append(nanometresOf(measurement));
        break;
    case Measurement::Status::Failed:
        ++failures;
        break;
    case Measurement::Status::Timeout:
        ++timeouts;
        break;
    case Measurement::Status::Rejected:
        ++failures;
        ++rejected;
        break;
    case Measurement::Status::Disconnected:
        break;
    }
    if (hasLatency(measurement))
        latenciesMs.append(measurement.latencyMs);
}

qint64 nanoUnitsOf(qint64 nanometres, LengthUnit unit)
{
    // The factor's eight decimals, and a product that a long reading times it needs 128 bits for.
    const auto factor = static_cast<__int128>(std::llround(unitFactor(unit) * 1e8));
    const __int128 product = nanometres * factor;
    const __int128 half = kNanometresPerTenth / 2;
    return qint64((product >= 0 ? product + half : product - half) / kNanometresPerTenth);
}

std::optional<DistanceFigures> distanceFigures(const RunStatistics &s, LengthUnit unit)
{
    if (s.nanometres.isEmpty())
        return std::nullopt;
    QVector<qint64> values;
    values.reserve(s.nanometres.size());
    for (qint64 nm : s.nanometres)
        values.append(nanoUnitsOf(nm, unit));
    const auto [low, high] = std::minmax_element(values.cbegin(), values.cend());
    __int128 sum = 0;
    for (qint64 v : values)
        sum += v;
    const long double mean = static_cast<long double>(sum) / values.size();
    long double squares = 0;
    for (qint64 v : values)
        squares += (v - mean) * (v - mean);
    DistanceFigures f;
    f.min = double(*low) * 1e-9;
    f.max = double(*high) * 1e-9;
    f.mean = double(mean * 1e-9L);
    // Equal readings have no spread, whatever rounding the sum went through.
    if (*low != *high)
        f.sd = double(std::sqrt(squares / (values.size() - 1)) * 1e-9L);
    return f;
}

QString countsLine(const RunStatistics &s)
{
    const QString counts = QStringLiteral("measurements: %1, ok: %2, failed: %3, timeouts: %4")
                               .arg(s.measurements)
                               .arg(s.nanometres.size())
                               .arg(s.failures)
                               .arg(s.timeouts);
    if (s.disconnections == 0)
        return counts;
    return counts + QStringLiteral(", disconnections: %1").arg(s.disconnections);
}

QString distanceLine(const RunStatistics &s)
{
    const std::optional<DistanceFigures> f = distanceFigures(s);
    if (!f)
        return QStringLiteral("distance (m): no valid measurement");
    return QStringLiteral("distance (m): min %1, max %2, mean %3, sd %4")
        .arg(number(f->min), number(f->max), number(f->mean), number(f->sd));
}

QString formatSummary(const RunStatistics &s)
{
    QString text = countsLine(s) + QLatin1Char('\n') + distanceLine(s) + QLatin1Char('\n');
    if (s.latenciesMs.isEmpty()) {
        text += QStringLiteral("latency (ms): no reply\n");
    } else {
        QVector<qint64> sorted = s.latenciesMs;
        std::sort(sorted.begin(), sorted.end());
        text += QStringLiteral("latency (ms): p50 %1, p99 %2\n")
                    .arg(nearestRank(sorted, 50))
                    .arg(nearestRank(sorted, 99));
    }
    if (s.rejected > 0)
        text += QStringLiteral("rejected: %1 replies whose check byte was wrong or missing\n")
                    .arg(s.rejected);
    if (s.ignoredReplies > 0)
        text +=
            QStringLiteral("ignored: %1 replies that answered no command\n").arg(s.ignoredReplies);
    if (s.unsent > 0)
        text += QStringLiteral("not sent: %1 commands the window could not write\n").arg(s.unsent);
    if (s.disconnections > 0)
        text += QStringLiteral("away: %1 s in all; %2\n")
                    .arg(number(s.awayMs / 1000.0),
                         s.endedAway ? QStringLiteral("the device was still away at the end")
                                     : QStringLiteral("the device came back"));
    return text;
}

} // namespace rangefinder
