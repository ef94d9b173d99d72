#include "cli/runreader.h"

#include "cli/recordformat.h"
#include "core/logtextfile.h"

#include <QIODevice>
#include <QTextCodec>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// Longer lines are not part of a run; reading stops there rather than holding them.
constexpr int kMaxLineBytes = 64 * 1024;
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

RunReader::RunReader(QIODevice *device)
    : m_device(device), m_utf8(QTextCodec::codecForName("UTF-8")),
      m_buffer(kMaxLineBytes + 1, Qt::Uninitialized)
{
    // The window saves in the locale's encoding when that holds every character, so a log
    // that is not UTF-8 is in a Chinese locale's encoding: this machine's, or else GB18030,
    // which contains the Windows one.
    QTextCodec *locale = QTextCodec::codecForLocale();
    if (locale && locale->mibEnum() != 106 && encodesWithoutLoss(locale, windowForms().failure))
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
        m_pairing.finish();
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
    case Kind::WindowLog:
        return parseWindowLine(line);
    case Kind::Csv:
    case Kind::Jsonl:
        return parseRecordLine(line);
    }
    return false;
}

bool RunReader::timeOfDay(const QString &line, int at, QDateTime &time)
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

bool RunReader::parseWindowLine(const QString &line)
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
    return parseReplyLine(line);
}

bool RunReader::parseReplyLine(const QString &line)
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
        takePaired();
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
    takePaired();
    return true;
}

void RunReader::takePaired()
{
    QQueue<Measurement> &paired = m_pairing.ready();
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
