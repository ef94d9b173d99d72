#pragma once

#include "cli/measurement.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

class QIODevice;
class QTextCodec;

// Reads a finished run back as records: a log saved by the window (its send, send-failure,
// receive and failure lines, in any unit, in the locale's encoding or UTF-8), or this
// program's own CSV or JSONL. The kind is told from the content. Reads line by line, so memory
// does not grow with the input.
//
// A window log has times of day but no date: a time earlier than the one before it starts a
// new day. A send line that the next send line finds unanswered is a timeout at the send's
// time; a failure line takes the time of the send line before it; a receive line's latency is
// from that send line. A send line still unanswered at the end gives no record.
class RunReader
{
public:
    struct SkippedLine
    {
        qint64 number = 0; // from 1
        QString text;
    };

    // The device must be open for reading and outlive the reader.
    explicit RunReader(QIODevice *device);

    // Reads up to the first record. False when the input is not a run (empty, binary, or no
    // line that gives a record); errorString() says why.
    bool begin();
    QString errorString() const { return m_errorString; }

    // The next record; false at the end of the input.
    bool next(Measurement &measurement);

    // Lines that fit no known form, and the first few of them.
    int skippedCount() const { return m_skippedCount; }
    const QVector<SkippedLine> &firstSkipped() const { return m_firstSkipped; }
    static constexpr int kReportedSkips = 5;
    // Window log: send lines followed by the window's send-failure line.
    int unsentCount() const { return m_unsent; }

private:
    enum class Kind { WindowLog, Csv, Jsonl };
    enum class LineResult { Record, NoRecord, Unknown };

    bool readLine(QString &line);
    LineResult parse(const QString &line, Measurement &measurement);
    LineResult parseWindowLine(const QString &line, Measurement &measurement);
    LineResult parseCsvLine(const QString &line, Measurement &measurement) const;
    LineResult parseJsonLine(const QString &line, Measurement &measurement) const;
    bool timeOfDay(const QString &line, int at, QDateTime &time);
    void skip(const QString &line);

    QIODevice *m_device;
    QTextCodec *m_utf8;
    QTextCodec *m_fallback; // for lines that are not UTF-8
    QByteArray m_buffer;
    Kind m_kind = Kind::WindowLog;
    QString m_errorString;
    qint64 m_lineNumber = 0;
    int m_skippedCount = 0;
    QVector<SkippedLine> m_firstSkipped;
    Measurement m_firstRecord; // found by begin(), returned by the first next()
    bool m_hasFirstRecord = false;

    // Window log state.
    QDateTime m_sendTime; // of the last send line
    bool m_awaitingReply = false;
    qint64 m_lastTimeOfDayMs = -1;
    qint64 m_day = 0;
    int m_unsent = 0;
};
