#include "cli/windowlogreader.h"

#include "cli/recordformat.h"
#include "core/measurementtext.h"

#include <cmath>
#include <utility>
#include <vector>

namespace rangefinder {

namespace {

constexpr int kTimeStampLength = 12; // hh:mm:ss.zzz
// A time of day further back than this from the line before is on the next day; a smaller step
// back is the clock being set.
constexpr qint64 kNewDayStepMs = 12 * 3600 * 1000;

// The window's line forms, taken from the very functions that write them.
struct WindowForms
{
    QString sendPrefix;
    QString sendFailurePrefix;
    QString receivePrefix;
    QString valueLead; // between the receive time and the value
    QString frameLead; // before the value of a line without a time
    QString failure;
    std::vector<std::pair<QString, LengthUnit>> units; // text, unit
};

const WindowForms &windowForms()
{
    static const WindowForms forms = [] {
        WindowForms f;
        const QDateTime midnight(QDate(2000, 1, 1), QTime(0, 0));
        const QString stamp = timeStamp(midnight);
        const Reply valid{1, 1};
        const QString value = valueText(valid.distanceTenths, LengthUnit::Metre);

        const QString send = sendLine(midnight);
        f.sendPrefix = send.left(send.indexOf(stamp));
        f.sendFailurePrefix = sendFailureLine(QString());
        const QString receive = receiveLine(valid, LengthUnit::Metre, midnight);
        const int stampAt = receive.indexOf(stamp);
        f.receivePrefix = receive.left(stampAt);
        const QString afterStamp = receive.mid(stampAt + stamp.size());
        f.valueLead = afterStamp.left(afterStamp.indexOf(value));
        const QString frame = frameLine(valid, LengthUnit::Metre);
        f.frameLead = frame.left(frame.indexOf(value));
        f.failure = receiveLine(Reply{0, 1}, LengthUnit::Metre, midnight);
        for (const LengthUnitRow &row : kLengthUnits)
            f.units.emplace_back(unitText(row.unit), row.unit);
        return f;
    }();
    return forms;
}

int digits(const QString &text, int at, int count)
{
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

// A value as the window writes it, followed by one of its unit texts and nothing else.
bool valueAndUnit(const QStringRef &text, WrittenValue &written)
{
    // The longest text that ends it: one unit's text may end another's.
    const std::pair<QString, LengthUnit> *unit = nullptr;
    for (const auto &each : windowForms().units) {
        if (text.endsWith(each.first) && (!unit || each.first.size() > unit->first.size()))
            unit = &each;
    }
    if (!unit)
        return false;
    bool ok = false;
    const double value = text.left(text.size() - unit->first.size()).toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0)
        return false;
    written = {value, unit->second};
    return true;
}

} // namespace

QString WindowLogReader::failureLine()
{
    return windowForms().failure;
}

bool WindowLogReader::timeOfDay(const QString &line, int at, QDateTime &time)
{
    if (line.size() < at + kTimeStampLength || line.at(at + 2) != QLatin1Char(':') ||
        line.at(at + 5) != QLatin1Char(':') || line.at(at + 8) != QLatin1Char('.'))
        return false;
    const int h = digits(line, at, 2), m = digits(line, at + 3, 2), s = digits(line, at + 6, 2),
              ms = digits(line, at + 9, 3);
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || ms < 0)
        return false;
    const qint64 ofDay = ((h * 60 + m) * 60 + s) * 1000 + ms;
    if (m_lastTimeOfDayMs - ofDay > kNewDayStepMs)
        ++m_day;
    m_lastTimeOfDayMs = ofDay;
    time = QDateTime::fromMSecsSinceEpoch(m_day * 86400000 + ofDay, Qt::UTC);
    return true;
}

bool WindowLogReader::read(const QString &line)
{
    const WindowForms &f = windowForms();
    if (line.startsWith(f.sendPrefix)) {
        QDateTime time;
        if (line.size() != f.sendPrefix.size() + kTimeStampLength ||
            !timeOfDay(line, f.sendPrefix.size(), time))
            return false;
        m_pairing.addSend(time);
        return true;
    }
    if (line.startsWith(f.sendFailurePrefix)) {
        m_pairing.sendFailed();
        return true;
    }
    return readReplyLine(line);
}

bool WindowLogReader::readReplyLine(const QString &line)
{
    const WindowForms &f = windowForms();
    Measurement m;
    m.timeOfDayOnly = true;
    if (line.startsWith(f.receivePrefix)) {
        const int valueAt = f.receivePrefix.size() + kTimeStampLength + f.valueLead.size();
        WrittenValue written;
        if (line.size() <= valueAt ||
            line.midRef(valueAt - f.valueLead.size(), f.valueLead.size()) != f.valueLead ||
            !valueAndUnit(line.midRef(valueAt), written) ||
            !timeOfDay(line, f.receivePrefix.size(), m.time))
            return false;
        m.status = Measurement::Status::Ok;
        setWrittenDistance(m, written);
        m_pairing.addReply(m);
        return true;
    }
    // A failure, or a value without a time: both at the time of the send line they answer.
    const bool failure = line == f.failure;
    WrittenValue written;
    if (!failure &&
        !(line.startsWith(f.frameLead) && valueAndUnit(line.midRef(f.frameLead.size()), written)))
        return false;
    if (!m_pairing.hasSend())
        return false;
    m.status = failure ? Measurement::Status::Failed : Measurement::Status::Ok;
    if (!failure)
        setWrittenDistance(m, written);
    m_pairing.addReply(m);
    return true;
}

} // namespace rangefinder
