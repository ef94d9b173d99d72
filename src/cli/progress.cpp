#include "cli/progress.h"

#include "cli/output.h"
#include "cli/recordformat.h"

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace rangefinder {

namespace {

bool isTerminal(FILE *stream)
{
#ifdef Q_OS_WIN
    return ::_isatty(::_fileno(stream));
#else
    return ::isatty(::fileno(stream));
#endif
}

QString seconds(qint64 ms)
{
    return ms >= 100000 ? QStringLiteral("%1 min").arg(ms / 60000)
                        : QStringLiteral("%1 s").arg(QString::number(ms / 1000.0, 'f', 1));
}

} // namespace

ProgressLine::ProgressLine(ProgressMode mode, int count, qint64 durationMs, LengthUnit unit,
                           FILE *stream)
    : m_shown(mode == ProgressMode::Always || (mode == ProgressMode::Auto && isTerminal(stream))),
      m_count(count), m_durationMs(durationMs), m_unit(unit), m_stream(stream)
{
    m_elapsed.start();
}

void ProgressLine::add(const Measurement &measurement)
{
    if (measurement.status == Measurement::Status::Disconnected)
        return;
    ++m_done;
    if (measurement.status == Measurement::Status::Ok)
        m_last = QStringLiteral("%1 %2").arg(
            QString::number(distanceIn(measurement, m_unit), 'g', 6), unitName(m_unit));
    else
        m_failures += 1;
    const qint64 now = m_elapsed.elapsed();
    if (m_shown && (m_drawnAtMs < 0 || now - m_drawnAtMs >= 100 || m_done == m_count)) {
        m_drawnAtMs = now;
        draw();
    }
}

QString ProgressLine::text() const
{
    const qint64 elapsed = m_elapsed.elapsed();
    const double rate = elapsed > 0 ? m_done * 1000.0 / elapsed : 0;
    QStringList parts;
    if (m_durationMs >= 0)
        parts << QStringLiteral("%1 of %2").arg(seconds(elapsed), seconds(m_durationMs));
    else
        parts << (m_count > 0 ? QStringLiteral("%1/%2").arg(m_done).arg(m_count)
                              : QString::number(m_done));
    parts << QStringLiteral("%1/s").arg(QString::number(rate, 'f', 1));
    parts << QStringLiteral("last %1").arg(m_last.isEmpty() ? QStringLiteral("-") : m_last);
    parts << QStringLiteral("%1 failed").arg(m_failures);
    if (m_durationMs >= 0)
        parts << QStringLiteral("%1 left").arg(
            seconds(std::max<qint64>(0, m_durationMs - elapsed)));
    else if (m_count > 0 && rate > 0)
        parts << QStringLiteral("%1 left").arg(seconds(qint64((m_count - m_done) * 1000.0 / rate)));
    return parts.join(QStringLiteral(", "));
}

void ProgressLine::draw()
{
    const QString line = text();
    // Spaces over what a longer line before left.
    const QString padding(std::max(0, m_drawnWidth - int(line.size())), QLatin1Char(' '));
    m_drawnWidth = line.size();
    writeWhole(m_stream, QLatin1Char('\r') + line + padding);
}

void ProgressLine::erase()
{
    if (!m_shown || m_drawnWidth == 0)
        return;
    writeWhole(m_stream,
               QLatin1Char('\r') + QString(m_drawnWidth, QLatin1Char(' ')) + QLatin1Char('\r'));
    m_drawnWidth = 0;
}

} // namespace rangefinder
