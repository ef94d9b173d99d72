#pragma once

#include "cli/measurement.h"
#include "core/measurementtext.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace rangefinder {

// --progress: when and whether a live run shows its progress.
enum class ProgressMode { Auto, Always, Never };

// One line on stderr while a live run measures, rewritten in place with a carriage return (a
// Windows console does the same): measurements done of the total, or time elapsed of
// --duration; the rate; the last value; failures so far; the time left. Erased before the
// summary. Redrawn at most ten times a second, so that a fast run does not write more progress
// than records.
class ProgressLine
{
public:
    // count 0 and durationMs < 0: until interrupted, nothing left to tell.
    ProgressLine(ProgressMode mode, int count, qint64 durationMs, LengthUnit unit,
                 FILE *stream = stderr);

    bool isShown() const { return m_shown; }
    void add(const Measurement &measurement);
    // Before the summary: the line goes, so that nothing of it stays beside the summary.
    void erase();
    // The line as it stands, without the carriage return.
    QString text() const;

private:
    void draw();

    bool m_shown;
    int m_count;
    qint64 m_durationMs;
    LengthUnit m_unit;
    FILE *m_stream;
    QElapsedTimer m_elapsed;
    qint64 m_drawnAtMs = -1;
    int m_drawnWidth = 0;
    int m_done = 0;
    int m_failures = 0;
    QString m_last;
};

} // namespace rangefinder
