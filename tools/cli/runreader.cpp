#include "runreader.h"

#include "logtextfile.h"
#include "recordformat.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextCodec>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

// Longer lines are not part of a run; reading stops there rather than holding them.
constexpr int kMaxLineBytes = 64 * 1024;
constexpr int kTimeStampLength = 12; // hh:mm:ss.zzz

// The window's line forms, taken from the very functions that write them.
struct WindowForms
{
    QString sendPrefix;
    QString sendFailurePrefix;
    QString receivePrefix;
    QString valueLead; // between the receive time and the value
    QString frameLead; // before the value of a line without a time
    QString failure;
    QString units[3];
    LengthUnit unitOf[3] = {LengthUnit::Metre, LengthUnit::Yard, LengthUnit::Foot};
};

const WindowForms &windowForms()
{
    static const WindowForms forms = [] {
        WindowForms f;
        const QDateTime midnight(QDate(2000, 1, 1), QTime(0, 0));
        const QString stamp = timeStamp(midnight);
        const Reply valid{1, 1};
        const QString value = valueText(valid.raw, LengthUnit::Metre);

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
        for (int i = 0; i < 3; ++i)
            f.units[i] = unitText(f.unitOf[i]);
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
    const WindowForms &f = windowForms();
    for (int i = 0; i < 3; ++i) {
        if (!text.endsWith(f.units[i]))
            continue;
        bool ok = false;
        const double value = text.left(text.size() - f.units[i].size()).toDouble(&ok);
        if (!ok || !std::isfinite(value) || value <= 0)
            return false;
        written = {value, f.unitOf[i]};
        return true;
    }
    return false;
}

// A value that a reading of the device gives, in the same digits, is that reading: the record
// is then the one the live run made. Any other value (typed by hand) stays as written.
void setDistance(Measurement &m, const WrittenValue &written)
{
    const double tenths = std::round(written.value / unitFactor(written.unit) * 10);
    if (tenths >= 1 && tenths <= 65535 &&
        valueText(quint16(tenths), written.unit) == QString::number(written.value, 'g', 6)) {
        m.reply = Reply{1, quint16(tenths)};
        m.written.reset();
    } else {
        m.written = written;
    }
}

// Output of versions that had no check column is read as well.
constexpr int kCsvColumnsBeforeCheck = 7;

bool isCsvHeader(const QString &line)
{
    static const QString header = recordHeader(RecordFormat::Csv).trimmed();
    static const QString withoutCheck =
        header.section(QLatin1Char(','), 0, kCsvColumnsBeforeCheck - 1);
    return line == header || line == withoutCheck;
}

struct RecordFields
{
    QString time, status, value, unit, latency, raw;
};

// A record of this program's own output back into a measurement: from its reply bytes when it
// has them, from the value as written otherwise.
bool measurementFromFields(const RecordFields &f, Measurement &m)
{
    const std::optional<Measurement::Status> status = statusFromName(f.status);
    const std::optional<LengthUnit> unit = unitFromName(f.unit);
    if (!status || !unit)
        return false;
    m = Measurement();
    m.status = *status;
    m.time = recordTimeFromText(f.time, &m.timeOfDayOnly);
    if (!m.time.isValid())
        return false;
    if (!f.latency.isEmpty()) {
        bool ok = false;
        m.latencyMs = f.latency.toLongLong(&ok);
        if (!ok || m.latencyMs < 0)
            return false;
    }
    if (!f.raw.isEmpty()) {
        const QByteArray hex = f.raw.toLatin1();
        if (hex.size() % 2 != 0 || std::any_of(hex.cbegin(), hex.cend(), [](char c) {
                return !std::isxdigit(static_cast<unsigned char>(c));
            }))
            return false;
        m.burst = QByteArray::fromHex(hex);
    }
    ReplyFrame frame = {};
    if (m.status != Measurement::Status::Timeout && frameFromBurst(m.burst, frame))
        m.reply = replyFromFrame(frame);
    if (m.status == Measurement::Status::Ok && !isReading(m.reply)) {
        bool ok = false;
        const double value = f.value.toDouble(&ok);
        if (!ok || !std::isfinite(value) || value <= 0)
            return false;
        setDistance(m, WrittenValue{value, *unit});
    }
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
    bool decided = false;
    while (readLine(line)) {
        if (line.trimmed().isEmpty())
            continue;
        if (!decided) {
            decided = true;
            if (line.startsWith(QChar(0xFEFF)))
                line.remove(0, 1);
            if (isCsvHeader(line)) {
                m_kind = Kind::Csv;
                return true;
            }
            m_kind = line.startsWith(QLatin1Char('{')) ? Kind::Jsonl : Kind::WindowLog;
        }
        const LineResult result = parse(line, m_firstRecord);
        if (result == LineResult::Unknown) {
            skip(line);
            continue;
        }
        m_hasFirstRecord = result == LineResult::Record;
        return true;
    }
    m_errorString = decided ? QStringLiteral("no line in it is a log line saved by the window, "
                                             "or a record of rangefinder-cli in CSV or JSONL")
                            : QStringLiteral("it is empty");
    return false;
}

bool RunReader::next(Measurement &measurement)
{
    if (m_hasFirstRecord) {
        m_hasFirstRecord = false;
        measurement = m_firstRecord;
        return true;
    }
    QString line;
    while (readLine(line)) {
        switch (parse(line, measurement)) {
        case LineResult::Record:
            return true;
        case LineResult::NoRecord:
            break;
        case LineResult::Unknown:
            skip(line);
            break;
        }
    }
    return false;
}

void RunReader::skip(const QString &line)
{
    ++m_skippedCount;
    if (m_firstSkipped.size() < kReportedSkips)
        m_firstSkipped.append({m_lineNumber, line});
}

RunReader::LineResult RunReader::parse(const QString &line, Measurement &measurement)
{
    if (line.trimmed().isEmpty())
        return LineResult::NoRecord;
    switch (m_kind) {
    case Kind::WindowLog:
        return parseWindowLine(line, measurement);
    case Kind::Csv:
        return parseCsvLine(line, measurement);
    case Kind::Jsonl:
        return parseJsonLine(line, measurement);
    }
    return LineResult::Unknown;
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
    if (ofDay < m_lastTimeOfDayMs)
        ++m_day;
    m_lastTimeOfDayMs = ofDay;
    time = QDateTime::fromMSecsSinceEpoch(m_day * 86400000 + ofDay, Qt::UTC);
    return true;
}

RunReader::LineResult RunReader::parseWindowLine(const QString &line, Measurement &m)
{
    const WindowForms &f = windowForms();
    auto start = [&](Measurement::Status status, const QDateTime &time) {
        m = Measurement();
        m.status = status;
        m.time = time;
        m.timeOfDayOnly = true;
    };

    if (line.startsWith(f.sendPrefix)) {
        QDateTime time;
        if (line.size() != f.sendPrefix.size() + kTimeStampLength ||
            !timeOfDay(line, f.sendPrefix.size(), time))
            return LineResult::Unknown;
        const bool unanswered = m_awaitingReply;
        if (unanswered)
            start(Measurement::Status::Timeout, m_sendTime);
        m_sendTime = time;
        m_awaitingReply = true;
        return unanswered ? LineResult::Record : LineResult::NoRecord;
    }
    if (line.startsWith(f.sendFailurePrefix)) {
        if (m_awaitingReply)
            ++m_unsent;
        m_awaitingReply = false;
        return LineResult::NoRecord;
    }
    if (line.startsWith(f.receivePrefix)) {
        const int valueAt = f.receivePrefix.size() + kTimeStampLength + f.valueLead.size();
        WrittenValue written;
        QDateTime time;
        if (line.size() <= valueAt ||
            line.midRef(valueAt - f.valueLead.size(), f.valueLead.size()) != f.valueLead ||
            !valueAndUnit(line.midRef(valueAt), written) ||
            !timeOfDay(line, f.receivePrefix.size(), time))
            return LineResult::Unknown;
        start(Measurement::Status::Ok, time);
        setDistance(m, written);
        if (m_awaitingReply)
            m.latencyMs = m_sendTime.msecsTo(time);
        m_awaitingReply = false;
        return LineResult::Record;
    }
    // A failure, or a value without a time: both at the time of the send line before.
    const bool failure = line == f.failure;
    WrittenValue written;
    if (!failure &&
        !(line.startsWith(f.frameLead) && valueAndUnit(line.midRef(f.frameLead.size()), written)))
        return LineResult::Unknown;
    if (!m_sendTime.isValid())
        return LineResult::Unknown;
    start(failure ? Measurement::Status::Failed : Measurement::Status::Ok, m_sendTime);
    if (!failure)
        setDistance(m, written);
    m_awaitingReply = false;
    return LineResult::Record;
}

RunReader::LineResult RunReader::parseCsvLine(const QString &line, Measurement &m) const
{
    if (isCsvHeader(line))
        return LineResult::NoRecord;
    // The check column is worked out again from the reply's bytes.
    const QStringList f = line.split(QLatin1Char(','));
    if (f.size() != 8 && f.size() != kCsvColumnsBeforeCheck)
        return LineResult::Unknown;
    // The metres column is worked out again from the value or the reply.
    return measurementFromFields({f[0], f[1], f[3], f[4], f[5], f[6]}, m) ? LineResult::Record
                                                                          : LineResult::Unknown;
}

RunReader::LineResult RunReader::parseJsonLine(const QString &line, Measurement &m) const
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return LineResult::Unknown;
    const QJsonObject o = document.object();
    auto text = [&o](const char *key) {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isDouble() ? QString::number(v.toDouble(), 'g', 17) : v.toString();
    };
    const RecordFields fields{text("time"), text("status"),     text("value"),
                              text("unit"), text("latency_ms"), text("raw")};
    return measurementFromFields(fields, m) ? LineResult::Record : LineResult::Unknown;
}
