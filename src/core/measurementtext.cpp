#include "core/measurementtext.h"

#include <QCoreApplication>
#include <QDateTime>

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

// Metres times factor is the value in the unit; text is the log's word for it.
struct UnitRow
{
    LengthUnit unit;
    double factor;
    const char *text;
};

const UnitRow kUnits[] = {
    {LengthUnit::Metre, 1.0, "米"},
    {LengthUnit::Foot, 3.2808399, "英尺"},
    {LengthUnit::Yard, 1.0936133, "码"},
};

const UnitRow *unitRow(LengthUnit unit)
{
    for (const UnitRow &row : kUnits) {
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
    const UnitRow *row = unitRow(unit);
    return row ? row->factor : 1.0;
}

QString valueText(quint16 raw, LengthUnit unit)
{
    return QString::number(unitFactor(unit) * metresFromRaw(raw), 'g', 6);
}

QString unitText(LengthUnit unit)
{
    const UnitRow *row = unitRow(unit);
    return row ? tr(row->text) : QString();
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
    return tr("%1 测量值:%2%3").arg(received).arg(valueText(reply.raw, unit)).arg(unitText(unit));
}

QString frameLine(const Reply &reply, LengthUnit unit)
{
    if (reply.status == 0)
        return failureText();
    return tr("测量值:%1%2").arg(valueText(reply.raw, unit)).arg(unitText(unit));
}
