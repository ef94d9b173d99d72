#include "cli/runreader.h"

#include "cli/recordformat.h"
#include "core/logtextfile.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextCodec>

#include <algorithm>
#include <cctype>
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
// Lines of a window log held for pairing at most, as long as a send among them is unanswered:
// the window's replies can run this far behind its send lines (under load, for seconds), and
// a log with unanswered sends is not held whole.
constexpr int kMaxHeld = 200;

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
    while (readLine(line)) {
        if (line.trimmed().isEmpty())
            continue;
        if (line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        if (isCsvHeader(line)) {
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

bool RunReader::next(Measurement &measurement)
{
    if (!fill())
        return false;
    measurement = m_ready.dequeue();
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
        // A command still waiting at the end gives no record.
        QVector<int> partner = pairHeld();
        if (!m_held.isEmpty() && m_held.last().isSend && partner.last() < 0) {
            m_held.removeLast();
            partner.removeLast();
        }
        release(m_held.size(), partner);
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
        return parseCsvLine(line);
    case Kind::Jsonl:
        return parseJsonLine(line);
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
        addSend(time);
        return true;
    }
    if (line.startsWith(f.sendFailurePrefix)) {
        // The window logs it right after the send line of the command it could not write.
        if (!m_held.isEmpty() && m_held.last().isSend) {
            m_held.removeLast();
            ++m_unsent;
        }
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
        setDistance(m, written);
        addReply(m);
        return true;
    }
    // A failure, or a value without a time: both at the time of the send line they answer.
    const bool failure = line == f.failure;
    WrittenValue written;
    if (!failure &&
        !(line.startsWith(f.frameLead) && valueAndUnit(line.midRef(f.frameLead.size()), written)))
        return false;
    if (!m_sendTime.isValid())
        return false;
    m.status = failure ? Measurement::Status::Failed : Measurement::Status::Ok;
    if (!failure)
        setDistance(m, written);
    addReply(m);
    return true;
}

void RunReader::addSend(const QDateTime &time)
{
    m_sendTime = time;
    m_held.append(HeldLine{true, time, Measurement()});
    if (m_held.size() <= kMaxHeld)
        return;
    // Held too long: the earliest unanswered send is given up, with the lines before it.
    const QVector<int> partner = pairHeld();
    int count = 1;
    while (count < m_held.size() && !(m_held.at(count - 1).isSend && partner.at(count - 1) < 0))
        ++count;
    release(count, partner);
}

void RunReader::addReply(const Measurement &reply)
{
    m_held.append(HeldLine{false, m_sendTime, reply});
    // Fewer replies than sends cannot answer them all: spared pairing every line of a long hold.
    const auto sends = std::count_if(m_held.cbegin(), m_held.cend(),
                                     [](const HeldLine &line) { return line.isSend; });
    if (2 * sends > m_held.size())
        return;
    const QVector<int> partner = pairHeld();
    // Once every send held is answered, later lines change nothing before them.
    bool answered = true;
    for (int i = 0; i < m_held.size() && answered; ++i)
        answered = !m_held.at(i).isSend || partner.at(i) >= 0;
    const int settled = answered ? m_held.size() : 0;
    release(settled, partner);
}

// The device answers in order, and a command whose reply came is not waited for any longer:
// from the last reply back, each answers the latest send before it that no later reply took.
// So replies after a run of sends answer the latest of them, and the counts are right also
// when replies run behind the sends. Returns for each held line the index of its partner, or -1.
QVector<int> RunReader::pairHeld() const
{
    QVector<int> partner(m_held.size(), -1);
    int before = m_held.size();
    for (int r = m_held.size() - 1; r >= 0; --r) {
        if (m_held.at(r).isSend)
            continue;
        int s = std::min(r, before) - 1;
        while (s >= 0 && !m_held.at(s).isSend)
            --s;
        // No send before it, so none before the replies before it either.
        if (s < 0)
            break;
        partner[r] = s;
        partner[s] = r;
        before = s;
    }
    return partner;
}

// Records for the first count held lines: an unanswered send is a timeout at its time.
void RunReader::release(int count, const QVector<int> &partner)
{
    for (int i = 0; i < count; ++i) {
        const HeldLine &line = m_held.at(i);
        if (line.isSend && partner.at(i) >= 0)
            continue;
        Measurement m = line.reply;
        m.timeOfDayOnly = true;
        if (line.isSend) {
            m.status = Measurement::Status::Timeout;
            m.time = line.time;
        } else {
            const QDateTime sent = partner.at(i) >= 0 ? m_held.at(partner.at(i)).time : line.time;
            // A failure line has no time of its own; a reply stamped before its send has no
            // latency (the clock was set back).
            if (!m.time.isValid())
                m.time = sent;
            else if (partner.at(i) >= 0 && sent <= m.time)
                m.latencyMs = sent.msecsTo(m.time);
        }
        m_ready.enqueue(m);
    }
    m_held.remove(0, count);
}

bool RunReader::parseCsvLine(const QString &line)
{
    if (isCsvHeader(line))
        return true;
    // The check column is worked out again from the reply's bytes.
    const QStringList f = line.split(QLatin1Char(','));
    if (f.size() != 8 && f.size() != kCsvColumnsBeforeCheck)
        return false;
    // The metres column is worked out again from the value or the reply.
    Measurement m;
    if (!measurementFromFields({f[0], f[1], f[3], f[4], f[5], f[6]}, m))
        return false;
    m_ready.enqueue(m);
    return true;
}

bool RunReader::parseJsonLine(const QString &line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject o = document.object();
    auto text = [&o](const char *key) {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isDouble() ? QString::number(v.toDouble(), 'g', 17) : v.toString();
    };
    const RecordFields fields{text("time"), text("status"),     text("value"),
                              text("unit"), text("latency_ms"), text("raw")};
    Measurement m;
    if (!measurementFromFields(fields, m))
        return false;
    m_ready.enqueue(m);
    return true;
}
