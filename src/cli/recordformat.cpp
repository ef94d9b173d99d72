#include "cli/recordformat.h"

#include "core/commandframe.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <utility>

namespace rangefinder {

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

// A record's fields: CSV's columns in this order under these names, JSON's keys; the readers
// find each field by the same name. A JSON number is written for a numeric field, null for
// any empty one.
struct Column
{
    RecordField field;
    const char *name;
    bool numeric;
};
const Column kColumns[] = {
    {RecordField::Time, "time", false},    {RecordField::Status, "status", false},
    {RecordField::Metres, "metres", true}, {RecordField::Value, "value", true},
    {RecordField::Unit, "unit", false},    {RecordField::LatencyMs, "latency_ms", true},
    {RecordField::Raw, "raw", false},      {RecordField::Check, "check", false}};
static_assert(sizeof kColumns / sizeof kColumns[0] == kRecordFieldCount, "a row per field");
// When several ports are measured: CSV's last column, a key in JSON.
const QLatin1String kPortColumn("port");

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

RecordFields fieldsOf(const Measurement &measurement, LengthUnit unit)
{
    const Distance distance = distanceOf(measurement, unit);
    const std::optional<qint64> ms = millisecondsField(measurement);
    RecordFields fields;
    fields[RecordField::Time] = timeText(measurement);
    fields[RecordField::Status] = statusName(measurement.status);
    fields[RecordField::Metres] = distance.metres;
    fields[RecordField::Value] = distance.value;
    fields[RecordField::Unit] = unitName(unit);
    fields[RecordField::LatencyMs] = ms ? QString::number(*ms) : QString();
    fields[RecordField::Raw] = QString::fromLatin1(measurement.burst.toHex());
    fields[RecordField::Check] = checkText(measurement);
    return fields;
}

QString csvRecord(const Measurement &measurement, LengthUnit unit, const QString &port)
{
    const RecordFields texts = fieldsOf(measurement, unit);
    QStringList fields;
    for (const Column &column : kColumns)
        fields << texts[column.field];
    if (!port.isEmpty())
        fields << port;
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString jsonRecord(const Measurement &measurement, LengthUnit unit, const QString &port)
{
    // Numbers from the six-digit texts: JSON writes the shortest form, which is that text.
    const RecordFields texts = fieldsOf(measurement, unit);
    QJsonObject object;
    for (const Column &column : kColumns) {
        const QString &text = texts[column.field];
        object.insert(QLatin1String(column.name), text.isEmpty()   ? QJsonValue(QJsonValue::Null)
                                                  : column.numeric ? QJsonValue(text.toDouble())
                                                                   : QJsonValue(text));
    }
    if (!port.isEmpty())
        object.insert(kPortColumn, port);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

bool isHex(const QByteArray &hex)
{
    return hex.size() % 2 == 0 && std::all_of(hex.cbegin(), hex.cend(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c));
           });
}

// A record of this program's own output back into a measurement: from its reply bytes when it
// has them, from the value as written otherwise. The metres and the check are worked out again.
bool measurementFromFields(const RecordFields &f, Measurement &m)
{
    const std::optional<Measurement::Status> status = statusFromName(f[RecordField::Status]);
    const std::optional<LengthUnit> unit = unitFromName(f[RecordField::Unit]);
    if (!status || !unit)
        return false;
    m = Measurement();
    m.status = *status;
    m.time = recordTimeFromText(f[RecordField::Time], &m.timeOfDayOnly);
    if (!m.time.isValid())
        return false;
    bool ok = true;
    if (!f[RecordField::LatencyMs].isEmpty()) {
        m.latencyMs = f[RecordField::LatencyMs].toLongLong(&ok);
        if (!ok || m.latencyMs < 0)
            return false;
    }
    const QByteArray hex = f[RecordField::Raw].toLatin1();
    if (!isHex(hex))
        return false;
    m.burst = QByteArray::fromHex(hex);
    ReplyFrame frame = {};
    if (m.status != Measurement::Status::Timeout && frameFromBurst(m.burst, frame))
        m.reply = replyFromFrame(frame);
    if (m.status == Measurement::Status::Ok && !isReading(m.reply)) {
        const double value = f[RecordField::Value].toDouble(&ok);
        if (!ok || !std::isfinite(value) || value <= 0)
            return false;
        setWrittenDistance(m, WrittenValue{value, *unit});
    }
    return true;
}

} // namespace

void setWrittenDistance(Measurement &m, const WrittenValue &written)
{
    const double tenths = std::round(written.value / unitFactor(written.unit) * 10);
    if (tenths >= 1 && tenths <= 65535 &&
        valueText(quint16(tenths), written.unit) == QString::number(written.value, 'g', 6)) {
        m.reply = Reply{1, quint16(tenths)};
        m.written.reset();
    } else {
        m.written = written;
    }
}

bool CsvRecordReader::readHeader(const QString &line)
{
    std::array<int, kRecordFieldCount> columnOf;
    columnOf.fill(-1);
    int portColumn = -1;
    const QStringList names = line.split(QLatin1Char(','));
    for (int i = 0; i < names.size(); ++i) {
        const auto column = std::find_if(std::begin(kColumns), std::end(kColumns),
                                         [&](const Column &c) { return names[i] == c.name; });
        int *at = column != std::end(kColumns) ? &columnOf[size_t(column->field)]
                  : names[i] == kPortColumn    ? &portColumn
                                               : nullptr;
        if (!at || *at >= 0)
            return false; // unknown, or named twice
        *at = i;
    }
    for (RecordField needed : {RecordField::Time, RecordField::Status, RecordField::Unit}) {
        if (columnOf[size_t(needed)] < 0)
            return false;
    }
    m_columnOf = columnOf;
    m_portColumn = portColumn;
    m_columns = names.size();
    return true;
}

bool CsvRecordReader::read(const QString &line, Measurement &measurement, QString &port) const
{
    const QStringList values = line.split(QLatin1Char(','));
    if (m_columns == 0 || values.size() != m_columns)
        return false;
    RecordFields fields;
    for (int f = 0; f < kRecordFieldCount; ++f)
        fields.texts[size_t(f)] = values.value(m_columnOf[size_t(f)]);
    port = values.value(m_portColumn);
    return measurementFromFields(fields, measurement);
}

bool readJsonRecord(const QString &line, Measurement &measurement, QString &port)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    auto text = [&object](QLatin1String key) {
        const QJsonValue v = object.value(key);
        return v.isDouble() ? QString::number(v.toDouble(), 'g', 17) : v.toString();
    };
    RecordFields fields;
    for (const Column &column : kColumns)
        fields[column.field] = text(QLatin1String(column.name));
    port = text(kPortColumn);
    return measurementFromFields(fields, measurement);
}

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
    QStringList names;
    for (const Column &column : kColumns)
        names << QLatin1String(column.name);
    if (withPort)
        names << kPortColumn;
    return names.join(QLatin1Char(',')) + QLatin1Char('\n');
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

} // namespace rangefinder
