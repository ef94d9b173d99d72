#include "cli/recordformat.h"

#include "core/commandframe.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// The names that options and records give each value.
template <typename E> struct Named
{
    E value;
    const char *name;
};

const Named<RecordFormat> kFormatNames[] = {
    {RecordFormat::Text, "text"}, {RecordFormat::Csv, "csv"}, {RecordFormat::Jsonl, "jsonl"}};
const Named<RecordFormat> kFormatNotes[] = {{RecordFormat::Csv, "with a header row"}};
const Named<Measurement::Status> kStatusNames[] = {
    {Measurement::Status::Ok, "ok"},
    {Measurement::Status::Failed, "failed"},
    {Measurement::Status::Timeout, "timeout"},
    {Measurement::Status::Rejected, "rejected"},
    {Measurement::Status::Disconnected, "disconnected"}};
const Named<CheckByte> kCheckNames[] = {
    {CheckByte::Match, "match"}, {CheckByte::Mismatch, "mismatch"}, {CheckByte::Absent, "absent"}};

template <typename E, std::size_t N> QString nameOf(const Named<E> (&table)[N], E value)
{
    for (const Named<E> &row : table) {
        if (row.value == value)
            return QString::fromLatin1(row.name);
    }
    return QString();
}

template <typename E, std::size_t N>
std::optional<E> valueNamed(const Named<E> (&table)[N], const QString &name)
{
    for (const Named<E> &row : table) {
        if (name == QLatin1String(row.name))
            return row.value;
    }
    return std::nullopt;
}

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

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
    if (!measurement.written)
        return {valueText(measurement.reply.distanceTenths, LengthUnit::Metre),
                valueText(measurement.reply.distanceTenths, unit)};
    return {number(distanceMetres(measurement)), number(distanceIn(measurement, unit))};
}

QString timeText(const Measurement &measurement)
{
    if (!measurement.timeOfDayOnly)
        return measurement.time.toString(Qt::ISODateWithMs);
    const qint64 ms = measurement.time.toMSecsSinceEpoch();
    return QString::asprintf("%02lld:%02lld:%02lld.%03lld", ms / 3600000, ms / 60000 % 60,
                             ms / 1000 % 60, ms % 1000);
}

// The latency_ms field: a reply's latency, or how long a disconnected port stayed away.
std::optional<qint64> millisecondsField(const Measurement &measurement)
{
    const bool away = measurement.status == Measurement::Status::Disconnected;
    if ((away || hasReply(measurement)) && measurement.latencyMs >= 0)
        return measurement.latencyMs;
    return std::nullopt;
}

// Empty where no reply's bytes are known: a timeout, or a run read back from the window's log.
QString checkText(const Measurement &measurement)
{
    if (!hasReply(measurement) || measurement.burst.isEmpty())
        return QString();
    return nameOf(kCheckNames, checkByteOf(measurement.burst));
}

QString textRecord(const Measurement &measurement, LengthUnit unit, const QString &port)
{
    QStringList fields{timeText(measurement), statusName(measurement.status)};
    if (!port.isEmpty())
        fields.prepend(port);
    const Distance distance = distanceOf(measurement, unit);
    if (!distance.value.isEmpty()) {
        fields << distance.value + QLatin1Char(' ') + unitName(unit);
        if (unit != LengthUnit::Metre)
            fields << QStringLiteral("(%1 m)").arg(distance.metres);
    }
    const std::optional<qint64> ms = millisecondsField(measurement);
    if (ms)
        fields << (hasReply(measurement) ? QStringLiteral("latency %1 ms")
                                         : QStringLiteral("away %1 ms"))
                      .arg(*ms);
    if (!measurement.burst.isEmpty())
        fields << QStringLiteral("reply %1").arg(QString::fromLatin1(measurement.burst.toHex()));
    const QString check = checkText(measurement);
    if (!check.isEmpty())
        fields << QStringLiteral("check %1").arg(check);
    if (measurement.status == Measurement::Status::Timeout)
        fields << QStringLiteral("no reply");
    return fields.join(QLatin1Char(' ')) + QLatin1Char('\n');
}

QString csvRecord(const Measurement &measurement, LengthUnit unit, const QString &port)
{
    const Distance distance = distanceOf(measurement, unit);
    const std::optional<qint64> ms = millisecondsField(measurement);
    QStringList fields{timeText(measurement),
                       statusName(measurement.status),
                       distance.metres,
                       distance.value,
                       unitName(unit),
                       ms ? QString::number(*ms) : QString(),
                       QString::fromLatin1(measurement.burst.toHex()),
                       checkText(measurement)};
    if (!port.isEmpty())
        fields << port;
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString jsonRecord(const Measurement &measurement, LengthUnit unit, const QString &port)
{
    const Distance distance = distanceOf(measurement, unit);
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
    const std::optional<qint64> ms = millisecondsField(measurement);
    object.insert(QStringLiteral("latency_ms"), ms ? QJsonValue(double(*ms)) : QJsonValue());
    object.insert(QStringLiteral("raw"),
                  measurement.burst.isEmpty()
                      ? QJsonValue()
                      : QJsonValue(QString::fromLatin1(measurement.burst.toHex())));
    const QString check = checkText(measurement);
    object.insert(QStringLiteral("check"), check.isEmpty() ? QJsonValue() : QJsonValue(check));
    if (!port.isEmpty())
        object.insert(QStringLiteral("port"), port);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

} // namespace

std::optional<RecordFormat> formatFromName(const QString &name)
{
    return valueNamed(kFormatNames, name);
}

QStringList formatNames(bool withNotes)
{
    QStringList names;
    for (const Named<RecordFormat> &format : kFormatNames) {
        names << QLatin1String(format.name);
        for (const Named<RecordFormat> &note : kFormatNotes) {
            if (withNotes && note.value == format.value)
                names.last() += QStringLiteral(" (%1)").arg(QLatin1String(note.name));
        }
    }
    return names;
}

QString statusName(Measurement::Status status)
{
    return nameOf(kStatusNames, status);
}

std::optional<Measurement::Status> statusFromName(const QString &name)
{
    return valueNamed(kStatusNames, name);
}

QString recordHeader(RecordFormat format, bool withPort)
{
    if (format != RecordFormat::Csv)
        return QString();
    return QStringLiteral("time,status,metres,value,unit,latency_ms,raw,check") +
           (withPort ? QStringLiteral(",port\n") : QStringLiteral("\n"));
}

QString formatRecord(const Measurement &measurement, RecordFormat format, LengthUnit unit,
                     const QString &port)
{
    using Writer = QString (*)(const Measurement &, LengthUnit, const QString &);
    static const std::pair<RecordFormat, Writer> writers[] = {{RecordFormat::Text, textRecord},
                                                              {RecordFormat::Csv, csvRecord},
                                                              {RecordFormat::Jsonl, jsonRecord}};
    for (const auto &[each, write] : writers) {
        if (each == format)
            return write(measurement, unit, port);
    }
    return QString();
}

double distanceMetres(const Measurement &measurement)
{
    if (measurement.written)
        return measurement.written->value / unitFactor(measurement.written->unit);
    return metresFromRaw(measurement.reply.distanceTenths);
}

double distanceIn(const Measurement &measurement, LengthUnit unit)
{
    const std::optional<WrittenValue> &written = measurement.written;
    return written && written->unit == unit ? written->value
                                            : distanceMetres(measurement) * unitFactor(unit);
}

QString recordTimeText(const Measurement &measurement)
{
    return timeText(measurement);
}

QDateTime recordTimeFromText(const QString &text, bool *timeOfDayOnly)
{
    *timeOfDayOnly = false;
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (time.isValid() || !text.contains(QLatin1Char(':')))
        return time;
    // Hours past 24 count the days after the first.
    const QStringList parts = text.split(QLatin1Char(':'));
    bool ok[3] = {false, false, false};
    const qint64 hours = parts.size() == 3 ? parts[0].toLongLong(&ok[0]) : -1;
    const int minutes = parts.value(1).toInt(&ok[1]);
    const double seconds = parts.value(2).toDouble(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2] || hours < 0 || minutes < 0 || minutes > 59 || seconds < 0 ||
        seconds >= 60 || parts[1].size() != 2)
        return QDateTime();
    *timeOfDayOnly = true;
    return QDateTime::fromMSecsSinceEpoch((hours * 60 + minutes) * 60000 + qRound64(seconds * 1000),
                                          Qt::UTC);
}
