#pragma once

#include "cli/measurement.h"
#include "cli/recordformat.h"
#include "cli/windowlogreader.h"

#include <QByteArray>
#include <QDateTime>
#include <QQueue>
#include <QString>
#include <QVector>

class QIODevice;
class QTextCodec;

namespace rangefinder {

// Reads a finished run back as records: a log saved by the window (its send, send-failure,
// receive and failure lines, in any unit, in the locale's encoding or UTF-8), or this
// program's own CSV or JSONL. The kind is told from the content. Reads line by line, so memory
// does not grow with the input. Each kind has its reader: WindowLogReader, CsvRecordReader and
// readJsonRecord, the last two beside the writers whose column table they share.
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

    // The next record, and the port it carries (records of a run on several ports do); false at
    // the end of the input.
    bool next(Measurement &measurement, QString *port = nullptr);
    // The next record carries a port: the run was made on several.
    bool carriesPorts() const { return !m_ready.isEmpty() && !m_ready.head().port.isEmpty(); }

    // Lines that fit no known form, and the first few of them.
    int skippedCount() const { return m_skippedCount; }
    const QVector<SkippedLine> &firstSkipped() const { return m_firstSkipped; }
    static constexpr int kReportedSkips = 5;
    // Window log: send lines followed by the window's send-failure line.
    int unsentCount() const { return m_windowLog.unsentCount(); }

private:
    enum class Kind { WindowLog, Csv, Jsonl };

    bool readLine(QString &line);
    bool fill();
    // False for a line that fits no known form; records it completes go to m_ready.
    bool parse(const QString &line);
    bool parseRecordLine(const QString &line);
    void skip(const QString &line);
    void takePaired();

    QIODevice *m_device;
    QTextCodec *m_utf8;
    QTextCodec *m_fallback; // for lines that are not UTF-8
    QByteArray m_buffer;
    Kind m_kind = Kind::WindowLog;
    CsvRecordReader m_csv;
    QString m_errorString;
    qint64 m_lineNumber = 0;
    int m_skippedCount = 0;
    QVector<SkippedLine> m_firstSkipped;
    struct Ready
    {
        Measurement measurement;
        QString port;
    };
    QQueue<Ready> m_ready;
    bool m_atEnd = false;

    WindowLogReader m_windowLog;
};

} // namespace rangefinder
