#pragma once

#include "cli/measurement.h"
#include "core/measurementtext.h"

#include <QString>
#include <QStringList>

#include <optional>

enum class RecordFormat { Text, Csv, Jsonl };

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
