#pragma once

#include "cli/measurement.h"
#include "cli/windowlogpairing.h"

#include <QDateTime>
#include <QQueue>
#include <QString>

namespace rangefinder {

// Reads the lines of a log saved by the window: its send, send-failure, receive and failure
// lines, in any unit, as the window's own functions write them. A log has times of day but no
// date: a time more than 12 hours earlier than the one before it starts a new day (a smaller
// step back is the clock being set). The lines are paired into records by WindowLogPairing.
class WindowLogReader
{
public:
    // False for a line that fits none of the window's forms.
    bool read(const QString &line);
    // The input has ended.
    void finish() { m_pairing.finish(); }
    // Records ready, in the lines' order.
    QQueue<Measurement> &ready() { return m_pairing.ready(); }
    int unsentCount() const { return m_pairing.unsentCount(); }

    // The window's failure line: text that only an encoding which holds Chinese keeps.
    static QString failureLine();

private:
    bool readReplyLine(const QString &line);
    bool timeOfDay(const QString &line, int at, QDateTime &time);

    WindowLogPairing m_pairing;
    qint64 m_lastTimeOfDayMs = -1;
    qint64 m_day = 0;
};

} // namespace rangefinder
