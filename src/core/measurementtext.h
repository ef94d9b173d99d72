#pragma once

#include "core/replyframe.h"

#include <QString>

#include <optional>

class QDateTime;

namespace rangefinder {

enum class LengthUnit { Metre, Yard, Foot };

// The one list of units: what converts, names, reads back and offers a unit takes it from here.
// Metres times factor is the value in the unit; text is the window's and its log's word for
// it, name the command line's. Option help lists them in this order.
struct LengthUnitRow
{
    LengthUnit unit;
    double factor;
    const char *text;
    const char *name;
};
inline constexpr LengthUnitRow kLengthUnits[] = {
    {LengthUnit::Metre, 1.0, "米", "m"},
    {LengthUnit::Yard, 1.0936133, "码", "yd"},
    {LengthUnit::Foot, 3.2808399, "英尺", "ft"},
};

// Distance in metres as the device reports it, rounded through single precision: the figures
// operators know from the device's own display depend on that rounding (58.3989 ft, not 58.399).
double metresFromRaw(quint16 raw);

// Metres times this is the value in unit.
double unitFactor(LengthUnit unit);
// At most six significant digits, trailing zeros dropped: 17.8, 100, 21501, 7166.99.
QString valueText(quint16 raw, LengthUnit unit);
QString unitText(LengthUnit unit);
// "m", "yd", "ft" and back.
QString unitName(LengthUnit unit);
std::optional<LengthUnit> unitFromName(const QString &name);

QString timeStamp(const QDateTime &time);

// "发送时间 : hh:mm:ss.zzz"
QString sendLine(const QDateTime &time);
// "发送失败：" and the reason: the command could not be written.
QString sendFailureLine(const QString &reason);
// Whether the window logs a line for the reply. Distance 0 is no reading and gets none: each
// line of a saved log is a measurement.
inline bool hasLogLine(const Reply &reply)
{
    return reply.distanceTenths != 0;
}
// "接收时间 : hh:mm:ss.zzz 测量值:17.8米", or "测量值:测量失败" for status 0.
QString receiveLine(const Reply &reply, LengthUnit unit, const QDateTime &time);
// The byte-by-byte decoder's line: the same without the time stamp.
QString frameLine(const Reply &reply, LengthUnit unit);

} // namespace rangefinder
