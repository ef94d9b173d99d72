#include "results/history.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>

#include <cmath>

namespace rangefinder {

namespace {

// 3 / d2 for moving ranges of two: the limits at three standard deviations.
constexpr double kMovingRangeFactor = 2.66;

QString number(const QVariant &value, int decimals)
{
    if (value.isNull())
        return QStringLiteral("-");
    const double v = value.toDouble();
    if (std::isinf(v))
        return v > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    return QString::number(v, 'f', decimals);
}

QString signedNumber(double value, int decimals)
{
    return (value >= 0 ? QStringLiteral("+") : QString()) + QString::number(value, 'f', decimals);
}

QString textLine(const RunRow &run)
{
    const QString n = run.n ? QString::number(*run.n) : QStringLiteral("-");
    return QStringLiteral("%1  %2  %3  ")
               .arg(storedTime(run.started), outcomeName(run.outcome).leftJustified(7), run.kind) +
           QStringLiteral("%1  %2  %3  %4  %5  %6  %7")
               .arg(run.serial, run.station, n,
                    run.bias ? signedNumber(*run.bias, 3) : QStringLiteral("-"),
                    number(run.sd ? QVariant(*run.sd) : QVariant(), 3),
                    number(run.cg ? QVariant(*run.cg) : QVariant(), 2),
                    number(run.cgk ? QVariant(*run.cgk) : QVariant(), 2)) +
           (run.unit.isEmpty() ? QString() : QStringLiteral("  ") + run.unit);
}

QString csvField(const QVariant &value)
{
    QString text = value.isNull() ? QString() : value.toString();
    if (value.type() == QVariant::Double)
        text = number(value, 6);
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
        text.contains(QLatin1Char('\n')))
        text = QLatin1Char('"') + text.replace(QStringLiteral("\""), QStringLiteral("\"\"")) +
               QLatin1Char('"');
    return text;
}

QString csvHistory(const QVector<RunRow> &runs)
{
    QStringList names;
    for (const RunColumn &column : runColumns())
        names << QLatin1String(column.name);
    QString text = names.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const RunRow &run : runs) {
        QStringList fields;
        for (const RunColumn &column : runColumns())
            fields << csvField(column.get(run));
        text += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

// JSON has no infinity: an infinite index is written as the text the other formats show.
QString jsonlHistory(const QVector<RunRow> &runs)
{
    QString text;
    for (const RunRow &run : runs) {
        QJsonObject object;
        for (const RunColumn &column : runColumns()) {
            const QVariant value = column.get(run);
            const bool infinite = value.type() == QVariant::Double && std::isinf(value.toDouble());
            object.insert(QLatin1String(column.name),
                          infinite ? QJsonValue(number(value, 0)) : QJsonValue::fromVariant(value));
        }
        text += QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
                QLatin1Char('\n');
    }
    return text;
}

} // namespace

std::optional<ControlLimits> controlLimits(const QVector<double> &biases)
{
    if (biases.size() < kChecksForLimits)
        return std::nullopt;
    double sum = 0, ranges = 0;
    for (int i = 0; i < biases.size(); ++i) {
        sum += biases.at(i);
        if (i > 0)
            ranges += std::fabs(biases.at(i) - biases.at(i - 1));
    }
    ControlLimits limits;
    limits.checks = int(biases.size());
    limits.centre = sum / biases.size();
    const double spread = kMovingRangeFactor * ranges / (biases.size() - 1);
    limits.lower = limits.centre - spread;
    limits.upper = limits.centre + spread;
    return limits;
}

bool isCheck(const RunRow &run)
{
    return run.kind == QLatin1String(kCheckRun) && run.bias &&
           (run.outcome == StoredOutcome::Pass || run.outcome == StoredOutcome::Fail);
}

QVector<Drift> judgeDrift(const QVector<RunRow> &runs)
{
    QMap<QString, Drift> bySerial;
    QStringList order;
    for (const RunRow &run : runs) {
        if (!isCheck(run))
            continue;
        Drift &drift = bySerial[run.serial];
        drift.serial = run.serial;
        drift.checks.append(run);
        order.removeAll(run.serial);
        order.append(run.serial);
    }
    QVector<Drift> drifts;
    for (const QString &serial : qAsConst(order)) {
        Drift drift = bySerial.value(serial);
        QVector<double> earlier;
        for (int i = 0; i + 1 < drift.checks.size(); ++i)
            earlier.append(*drift.checks.at(i).bias);
        const RunRow &latest = drift.checks.constLast();
        drift.limits = controlLimits(earlier);
        drift.outsideLimits = drift.limits && (*latest.bias < drift.limits->lower ||
                                               *latest.bias > drift.limits->upper);
        drift.outsideTolerance = latest.tolerance && std::fabs(*latest.bias) > *latest.tolerance;
        drifts.append(drift);
    }
    return drifts;
}

QString Drift::description() const
{
    const RunRow &latest = checks.constLast();
    QStringList where;
    if (outsideLimits)
        where << QStringLiteral("outside the control limits %1 .. %2 of %3 checks before it")
                     .arg(signedNumber(limits->lower, 3), signedNumber(limits->upper, 3))
                     .arg(limits->checks);
    if (outsideTolerance)
        where << QStringLiteral("outside the tolerance +-%1").arg(*latest.tolerance);
    QString state = where.join(QStringLiteral(" and "));
    if (where.isEmpty() && limits)
        state = QStringLiteral("within the control limits %1 .. %2 and the tolerance")
                    .arg(signedNumber(limits->lower, 3), signedNumber(limits->upper, 3));
    else if (where.isEmpty())
        state = QStringLiteral("within the tolerance (control limits from %1 checks on)")
                    .arg(kChecksForLimits + 1);
    return QStringLiteral("%1: the latest check (%2) has bias %3 %4, %5")
        .arg(serial, storedTime(latest.started), signedNumber(*latest.bias, 3), latest.unit, state);
}

QString formatHistory(const QVector<RunRow> &runs, HistoryFormat format)
{
    if (format == HistoryFormat::Csv)
        return csvHistory(runs);
    if (format == HistoryFormat::Jsonl)
        return jsonlHistory(runs);
    QString text =
        QStringLiteral("started_utc               outcome  kind  serial  station  n  bias  sd  "
                       "Cg  Cgk  unit\n");
    for (const RunRow &run : runs)
        text += textLine(run) + QLatin1Char('\n');
    return text;
}

} // namespace rangefinder
