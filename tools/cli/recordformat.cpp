#include "recordformat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// The measurement's distance as the window shows it, metres and the chosen unit; empty unless
// the measurement is valid.
struct Distance
{
    QString metres;
    QString value;
};

Distance distanceOf(const Measurement &measurement, LengthUnit unit)
{
    if (measurement.status != Measurement::Status::Ok)
        return {};
    return {valueText(measurement.reply.raw, LengthUnit::Metre),
            valueText(measurement.reply.raw, unit)};
}

QString timeText(const Measurement &measurement)
{
    return measurement.time.toString(Qt::ISODateWithMs);
}

bool hasReply(const Measurement &measurement)
{
    return measurement.status != Measurement::Status::Timeout;
}

// Empty for a timeout.
QString checkText(const Measurement &measurement)
{
    if (!hasReply(measurement))
        return QString();
    switch (checkByteOf(measurement.burst)) {
    case CheckByte::Match:
        return QStringLiteral("match");
    case CheckByte::Mismatch:
        return QStringLiteral("mismatch");
    case CheckByte::Absent:
        break;
    }
    return QStringLiteral("absent");
}

QString textRecord(const Measurement &measurement, LengthUnit unit)
{
    QStringList fields{timeText(measurement), statusName(measurement.status)};
    const Distance distance = distanceOf(measurement, unit);
    if (!distance.value.isEmpty()) {
        fields << distance.value + QLatin1Char(' ') + unitName(unit);
        if (unit != LengthUnit::Metre)
            fields << QStringLiteral("(%1 m)").arg(distance.metres);
    }
    if (hasReply(measurement))
        fields << QStringLiteral("latency %1 ms").arg(measurement.latencyMs)
               << QStringLiteral("reply %1").arg(QString::fromLatin1(measurement.burst.toHex()))
               << QStringLiteral("check %1").arg(checkText(measurement));
    else
        fields << QStringLiteral("no reply");
    return fields.join(QLatin1Char(' ')) + QLatin1Char('\n');
}

QString csvRecord(const Measurement &measurement, LengthUnit unit)
{
    const Distance distance = distanceOf(measurement, unit);
    const bool reply = hasReply(measurement);
    const QStringList fields{timeText(measurement),
                             statusName(measurement.status),
                             distance.metres,
                             distance.value,
                             unitName(unit),
                             reply ? QString::number(measurement.latencyMs) : QString(),
                             QString::fromLatin1(measurement.burst.toHex()),
                             checkText(measurement)};
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString jsonRecord(const Measurement &measurement, LengthUnit unit)
{
    const Distance distance = distanceOf(measurement, unit);
    const bool reply = hasReply(measurement);
    // Numbers from the six-digit texts: JSON writes the shortest form, which is that text.
    auto number = [](const QString &text) {
        return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text.toDouble());
    };
    QJsonObject object;
    object.insert(QStringLiteral("time"), timeText(measurement));
    object.insert(QStringLiteral("status"), statusName(measurement.status));
    object.insert(QStringLiteral("metres"), number(distance.metres));
    object.insert(QStringLiteral("value"), number(distance.value));
    object.insert(QStringLiteral("unit"), unitName(unit));
    object.insert(QStringLiteral("latency_ms"),
                  reply ? QJsonValue(double(measurement.latencyMs)) : QJsonValue());
    object.insert(QStringLiteral("raw"),
                  reply ? QJsonValue(QString::fromLatin1(measurement.burst.toHex()))
                        : QJsonValue());
    object.insert(QStringLiteral("check"),
                  reply ? QJsonValue(checkText(measurement)) : QJsonValue());
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

QString unitName(LengthUnit unit)
{
    switch (unit) {
    case LengthUnit::Metre:
        return QStringLiteral("m");
    case LengthUnit::Yard:
        return QStringLiteral("yd");
    case LengthUnit::Foot:
        return QStringLiteral("ft");
    }
    return QString();
}

std::optional<LengthUnit> unitFromName(const QString &name)
{
    for (LengthUnit unit : {LengthUnit::Metre, LengthUnit::Yard, LengthUnit::Foot}) {
        if (name == unitName(unit))
            return unit;
    }
    return std::nullopt;
}

QString formatName(RecordFormat format)
{
    switch (format) {
    case RecordFormat::Text:
        return QStringLiteral("text");
    case RecordFormat::Csv:
        return QStringLiteral("csv");
    case RecordFormat::Jsonl:
        return QStringLiteral("jsonl");
    }
    return QString();
}

std::optional<RecordFormat> formatFromName(const QString &name)
{
    for (RecordFormat format : {RecordFormat::Text, RecordFormat::Csv, RecordFormat::Jsonl}) {
        if (name == formatName(format))
            return format;
    }
    return std::nullopt;
}

QString statusName(Measurement::Status status)
{
    switch (status) {
    case Measurement::Status::Ok:
        return QStringLiteral("ok");
    case Measurement::Status::Failed:
        return QStringLiteral("failed");
    case Measurement::Status::Timeout:
        return QStringLiteral("timeout");
    case Measurement::Status::Rejected:
        return QStringLiteral("rejected");
    }
    return QString();
}

QString recordHeader(RecordFormat format)
{
    if (format != RecordFormat::Csv)
        return QString();
    return QStringLiteral("time,status,metres,value,unit,latency_ms,raw,check\n");
}

QString formatRecord(const Measurement &measurement, RecordFormat format, LengthUnit unit)
{
    switch (format) {
    case RecordFormat::Text:
        return textRecord(measurement, unit);
    case RecordFormat::Csv:
        return csvRecord(measurement, unit);
    case RecordFormat::Jsonl:
        return jsonRecord(measurement, unit);
    }
    return QString();
}

qint64 percentile(QVector<qint64> values, double percent)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<int>(std::ceil(percent / 100.0 * values.size()));
    return values.at(std::min(std::max(rank, 1), values.size()) - 1);
}

void RunStatistics::add(const Measurement &measurement)
{
    ++measurements;
    switch (measurement.status) {
    case Measurement::Status::Ok:
        metres.append(metresFromRaw(measurement.reply.raw));
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
    }
    if (measurement.status != Measurement::Status::Timeout)
        latenciesMs.append(measurement.latencyMs);
}

QString formatSummary(const RunStatistics &s)
{
    QString text = QStringLiteral("measurements: %1, ok: %2, failed: %3, timeouts: %4\n")
                       .arg(s.measurements)
                       .arg(s.metres.size())
                       .arg(s.failures)
                       .arg(s.timeouts);
    if (s.metres.isEmpty()) {
        text += QStringLiteral("distance (m): no valid measurement\n");
    } else {
        const auto [low, high] = std::minmax_element(s.metres.cbegin(), s.metres.cend());
        double sum = 0;
        for (double d : s.metres)
            sum += d;
        const double mean = sum / s.metres.size();
        double squares = 0;
        for (double d : s.metres)
            squares += (d - mean) * (d - mean);
        const double sd = s.metres.size() > 1 ? std::sqrt(squares / (s.metres.size() - 1)) : 0.0;
        text += QStringLiteral("distance (m): min %1, max %2, mean %3, sd %4\n")
                    .arg(number(*low), number(*high), number(mean), number(sd));
    }
    if (s.latenciesMs.isEmpty())
        text += QStringLiteral("latency (ms): no reply\n");
    else
        text += QStringLiteral("latency (ms): p50 %1, p99 %2\n")
                    .arg(percentile(s.latenciesMs, 50))
                    .arg(percentile(s.latenciesMs, 99));
    if (s.rejected > 0)
        text += QStringLiteral("rejected: %1 replies whose check byte was wrong or missing\n")
                    .arg(s.rejected);
    if (s.ignoredBursts > 0)
        text +=
            QStringLiteral("ignored: %1 bursts that answered no command\n").arg(s.ignoredBursts);
    return text;
}
