#include "cli/runreader.h"

#include "core/logtextfile.h"

#include <QIODevice>
#include <QTextCodec>

namespace rangefinder {

namespace {

// Longer lines are not part of a run; reading stops there rather than holding them.
constexpr int kMaxLineBytes = 64 * 1024;
} // namespace

RunReader::RunReader(QIODevice *device)
    : m_device(device), m_utf8(QTextCodec::codecForName("UTF-8")),
      m_buffer(kMaxLineBytes + 1, Qt::Uninitialized)
{
    // The window saves in the locale's encoding when that holds every character, so a log
    // that is not UTF-8 is in a Chinese locale's encoding: this machine's, or else GB18030,
    // which contains the Windows one.
    QTextCodec *locale = QTextCodec::codecForLocale();
    if (locale && locale->mibEnum() != 106 &&
        encodesWithoutLoss(locale, WindowLogReader::failureLine()))
        m_fallback = locale;
    else
        m_fallback = QTextCodec::codecForName("GB18030");
}

bool RunReader::readLine(QString &line)
{
    qint64 length = m_device->readLine(m_buffer.data(), m_buffer.size());
    if (length <= 0)
        return false;
    ++m_lineNumber;
    const char *data = m_buffer.constData();
    if (data[length - 1] == '\n') {
        --length;
    } else if (length == m_buffer.size() - 1) {
        // Too long for any line of a run: reported by its start, the rest passed over.
        char rest[4096];
        qint64 n = 0;
        while ((n = m_device->readLine(rest, sizeof rest)) > 0 && rest[n - 1] != '\n') {
        }
        length = 80;
        // Decoded, it ends in a character no form ends with, so it fits none.
        line = QString::fromUtf8(data, int(length)) + QChar(0x2026);
        return true;
    }
    if (length > 0 && data[length - 1] == '\r')
        --length;
    QTextCodec::ConverterState state;
    line = m_utf8->toUnicode(data, int(length), &state);
    if (state.invalidChars > 0)
        line = m_fallback->toUnicode(data, int(length));
    return true;
}

bool RunReader::begin()
{
    const QByteArray start = m_device->peek(4096);
    if (start.contains('\0')) {
        m_errorString = QStringLiteral("it holds NUL bytes: a binary file, not a run");
        return false;
    }
    QString line;
    while (readLine(line)) {
        if (line.trimmed().isEmpty())
            continue;
        if (line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        if (m_csv.readHeader(line)) {
            m_kind = Kind::Csv;
        } else {
            m_kind = line.startsWith(QLatin1Char('{')) ? Kind::Jsonl : Kind::WindowLog;
            if (!parse(line))
                skip(line);
        }
        // A run has a record: a header, or a command never answered, alone is none.
        if (fill())
            return true;
        m_errorString = QStringLiteral("no line in it is a measurement, as a log saved by the "
                                       "window or rangefinder-cli's CSV or JSONL holds them");
        return false;
    }
    m_errorString = QStringLiteral("it is empty");
    return false;
}

bool RunReader::next(Measurement &measurement, QString *port)
{
    if (!fill())
        return false;
    Ready ready = m_ready.dequeue();
    measurement = ready.measurement;
    if (port)
        *port = ready.port;
    return true;
}

// Reads on until a record is ready or the input ends; false when none is left.
bool RunReader::fill()
{
    QString line;
    while (m_ready.isEmpty() && !m_atEnd) {
        if (readLine(line)) {
            if (!parse(line))
                skip(line);
            continue;
        }
        m_atEnd = true;
        m_windowLog.finish();
        takePaired();
    }
    return !m_ready.isEmpty();
}

void RunReader::skip(const QString &line)
{
    ++m_skippedCount;
    if (m_firstSkipped.size() < kReportedSkips)
        m_firstSkipped.append({m_lineNumber, line});
}

bool RunReader::parse(const QString &line)
{
    if (line.trimmed().isEmpty())
        return true;
    switch (m_kind) {
    case Kind::WindowLog: {
        const bool read = m_windowLog.read(line);
        takePaired();
        return read;
    }
    case Kind::Csv:
    case Kind::Jsonl:
        return parseRecordLine(line);
    }
    return false;
}

void RunReader::takePaired()
{
    QQueue<Measurement> &paired = m_windowLog.ready();
    while (!paired.isEmpty())
        m_ready.enqueue({paired.dequeue(), QString()});
}

bool RunReader::parseRecordLine(const QString &line)
{
    Measurement measurement;
    QString port;
    if (m_kind == Kind::Csv) {
        // A header again: outputs joined one after the other.
        if (m_csv.readHeader(line))
            return true;
        if (!m_csv.read(line, measurement, port))
            return false;
    } else if (!readJsonRecord(line, measurement, port)) {
        return false;
    }
    m_ready.enqueue({measurement, port});
    return true;
}

} // namespace rangefinder
