#include "core/measurementtext.h"

#include <QCoreApplication>
#include <QDateTime>

namespace rangefinder {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Widget", text);
}

// No time stamp, unlike a reading's line: saved logs hold it so, and --from reads them back.
QString failureText()
{
    return tr("测量值:测量失败");
}

const LengthUnitRow *unitRow(LengthUnit unit)
{
    for (const LengthUnitRow &row : kLengthUnits) {
        if (row.unit == unit)
            return &row;
    }
    return nullptr;
}

} // namespace

double metresFromRaw(quint16 raw)
{
    return static_cast<double>(static_cast<float>(raw / 10.0));
}

double unitFactor(LengthUnit unit)
{
    const LengthUnitRow *row = unitRow(unit);
    return row ? row->factor : 1.0;
}

QString valueText(quint16 raw, LengthUnit unit)
{
    return QString::number(unitFactor(unit) * metresFromRaw(raw), 'g', 6);
}

QString unitText(LengthUnit unit)
{
    const LengthUnitRow *row = unitRow(unit);
    return row ? tr(row->text) : QString();
}

QString unitName(LengthUnit unit)
{
    const LengthUnitRow *row = unitRow(unit);
    return row ? QString::fromLatin1(row->name) : QString();
}

std::optional<LengthUnit> unitFromName(const QString &name)
{
    for (const LengthUnitRow &row : kLengthUnits) {
        if (name == QLatin1String(row.name))
            return row.unit;
    }
    return std::nullopt;
}

QString timeStamp(const QDateTime &time)
{
    return time.toString(QStringLiteral("hh:mm:ss.zzz"));
}

// Two texts joined, with a space before the colon: odd, but it is the line saved logs hold
// and --from reads back.
QString sendLine(const QDateTime &time)
{
    return tr("发送%1").arg(tr("时间 : %1").arg(timeStamp(time)));
}

QString sendFailureLine(const QString &reason)
{
    return tr("发送失败：") + reason;
}

QString receiveLine(const Reply &reply, LengthUnit unit, const QDateTime &time)
{
    if (reply.status == 0)
        return failureText();
    const QString received = tr("接收时间 : %1").arg(timeStamp(time));
    return tr("%1 测量值:%2%3")
        .arg(received)
        .arg(valueText(reply.distanceTenths, unit))
        .arg(unitText(unit));
}

QString frameLine(const Reply &reply, LengthUnit unit)
{
    if (reply.status == 0)
        return failureText();
    return tr("测量值:%1%2").arg(valueText(reply.distanceTenths, unit)).arg(unitText(unit));
}

} // namespace rangefinder
