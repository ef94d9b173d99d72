#pragma once

#include "cli/measurement.h"
#include "core/measurementtext.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace rangefinder {

enum class RecordFormat { Text, Csv, Jsonl };

// The fields of a record, as CSV's columns and JSON's keys: one table names them for the
// writers and the readers alike.
enum class RecordField { Time, Status, Metres, Value, Unit, LatencyMs, Raw, Check };
constexpr int kRecordFieldCount = int(RecordField::Check) + 1;
struct RecordFields
{
    std::array<QString, kRecordFieldCount> texts;
    QString &operator[](RecordField field) { return texts[size_t(field)]; }
    const QString &operator[](RecordField field) const { return texts[size_t(field)]; }
};

std::optional<RecordFormat> formatFromName(const QString &name);
// Every format's name, in the order --help lists them; withNotes adds what sets one apart
// ("csv (with a header row)").
QStringList formatNames(bool withNotes = false);
QString statusName(Measurement::Status status);
std::optional<Measurement::Status> statusFromName(const QString &name);

// The distance of a valid measurement in metres: from the reply, or computed back from the
// value as written.
double distanceMetres(const Measurement &measurement);
// The same in unit: the value as written when it was written in unit, else converted.
double distanceIn(const Measurement &measurement, LengthUnit unit);

// The time field of a record: ISO 8601, or hours:minutes:seconds for a window log's.
QString recordTimeText(const Measurement &measurement);
// The time field of a record back into a time: ISO 8601, or the hours:minutes:seconds of a
// record read from a window log (timeOfDayOnly is then set). Invalid when it is neither.
QDateTime recordTimeFromText(const QString &text, bool *timeOfDayOnly);

// The CSV header row with its line end, with a last column port when records carry one; empty
// for the other formats.
QString recordHeader(RecordFormat format, bool withPort = false);

// One whole record with its line end. A disconnection carries in latency_ms how long the port
// stayed away. The distance in metres and the value in `unit` carry the
// window's six-digit text; a failed or timed-out measurement has neither (empty in text and
// CSV, null in JSON). No field contains a comma, so CSV needs no quoting. The last field, check,
// says whether the reply's check byte matches: match, mismatch or absent. A port, when several
// are measured, comes first in text, last in CSV, and as the key port in JSON.
QString formatRecord(const Measurement &measurement, RecordFormat format, LengthUnit unit,
                     const QString &port = QString());

// A value written for a measurement: a value that a reading of the device gives, in the same
// digits, is that reading (the record is then the one the live run made); any other value,
// typed by hand, stays as written.
void setWrittenDistance(Measurement &measurement, const WrittenValue &written);

// Reads this program's CSV back: the header row names the columns, so each field is found by
// the name its writer gave it, in whatever order and whichever of them a version wrote.
class CsvRecordReader
{
public:
    // Takes a header row: only names of the record's fields and the port, each once, with at
    // least the time, the status and the unit. False for any other line.
    bool readHeader(const QString &line);
    bool carriesPorts() const { return m_portColumn >= 0; }
    // A row of as many fields as the header names; false when it is no record.
    bool read(const QString &line, Measurement &measurement, QString &port) const;

private:
    std::array<int, kRecordFieldCount> m_columnOf = {};
    int m_portColumn = -1;
    int m_columns = 0;
};

// A line of this program's JSONL back into a measurement and its port; false when it is none.
bool readJsonRecord(const QString &line, Measurement &measurement, QString &port);

} // namespace rangefinder
