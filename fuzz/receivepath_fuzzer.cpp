// Arbitrary input through the receive path, checked against what it promises.
//
// Input layout:
//   bytes 0-1   n, big-endian: how many of the following bytes are reads (clamped)
//   n bytes     reads, each: control byte c, length byte L, then L payload bytes
//                 c bits 0-1  unit used when this burst ends (0 and 3 metre, 1 yard, 2 foot)
//                 c bit 2     the line falls silent after this read
//                 c bits 3-7  the payload arrives (c >> 3) + 1 times in this one read
//   the rest    byte stream for the byte-by-byte assembler; its first byte picks the unit
//
// The reads are handled as the window's readyRead and silence timer handle them: collectBytes
// for every read, endBurst when it reports the burst too long or when the line falls silent.
// The assembler then gets every byte of the rest, sharing the frame as the window does.

#include "core/measurementtext.h"
#include "core/receivepath.h"
#include "core/replyframe.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QRegularExpression>
#include <QString>
#include <QTime>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace rangefinder;

namespace {

[[noreturn]] void violated(const char *what, int line)
{
    std::fprintf(stderr, "receivepath_fuzzer: invariant violated at line %d: %s\n", line, what);
    std::fflush(stderr);
    std::abort();
}

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition))                                                                          \
            violated(#condition, __LINE__);                                                        \
    } while (false)

LengthUnit unitFromByte(quint8 byte)
{
    switch (byte & 3) {
    case 1:
        return LengthUnit::Yard;
    case 2:
        return LengthUnit::Foot;
    default:
        return LengthUnit::Metre;
    }
}

// Written out here rather than taken from the code under test.
QString unitSuffix(LengthUnit unit)
{
    switch (unit) {
    case LengthUnit::Yard:
        return QStringLiteral("码");
    case LengthUnit::Foot:
        return QStringLiteral("英尺");
    case LengthUnit::Metre:
        break;
    }
    return QStringLiteral("米");
}

double expectedFactor(LengthUnit unit)
{
    switch (unit) {
    case LengthUnit::Yard:
        return 1.0936133;
    case LengthUnit::Foot:
        return 3.2808399;
    case LengthUnit::Metre:
        break;
    }
    return 1.0;
}

const QString kFailure = QStringLiteral("测量值:测量失败");

// The line the window logs for a reply with a distance: prefix + "测量值:" + value + unit, or
// the failure text; the value reads back as the distance in that unit to six significant
// digits, written without exponent or trailing zeros.
void checkLine(const QString &line, const Reply &reply, LengthUnit unit, const QString &prefix)
{
    CHECK(reply.distanceTenths != 0);
    if (reply.status == 0) {
        CHECK(line == kFailure);
        return;
    }
    const QString head = prefix + QStringLiteral("测量值:");
    const QString tail = unitSuffix(unit);
    CHECK(line.startsWith(head));
    CHECK(line.endsWith(tail));
    CHECK(line.size() > head.size() + tail.size());
    const QString value = line.mid(head.size(), line.size() - head.size() - tail.size());

    static const QRegularExpression plain(QStringLiteral("^(0|[1-9][0-9]*)(\\.[0-9]*[1-9])?$"));
    CHECK(plain.match(value).hasMatch());
    QString digits = value;
    digits.remove(QLatin1Char('.'));
    while (digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    CHECK(digits.size() <= 6);

    bool ok = false;
    const double shown = value.toDouble(&ok);
    CHECK(ok);
    const double expected = reply.distanceTenths / 10.0 * expectedFactor(unit);
    CHECK(shown > 0);
    CHECK(std::fabs(shown - expected) <= expected * 1e-5);
}

struct Reads
{
    const quint8 *data;
    size_t size;
};

void runBursts(Reads reads, ReplyFrame &frame, const QDateTime &time)
{
    const QString prefix = QStringLiteral("接收时间 : 09:15:02.047 ");
    QByteArray buffer;
    bool timerRunning = false;
    BurstCarry carry;
    bool carried = false; // the model's own: the last burst was cut by size and held a reply

    auto endNow = [&](LengthUnit unit, bool silent) {
        const QByteArray before = buffer;
        ReplyFrame frameBefore;
        std::copy(std::begin(frame), std::end(frame), frameBefore);

        const BurstOutcome outcome =
            endBurst(buffer, frame, silent ? BurstEnd::Silence : BurstEnd::Size, &carry);
        timerRunning = false;

        // A reply is 7 bytes from a 0x55, and the 8th when it is their checksum. It is
        // delimited when it ends a burst the line fell silent after, or is followed by its
        // checksum or by a 0x55 that starts a delimited reply. With a delimited reply in the
        // buffer, or in the part of its burst before a cut by size, replies are read from the
        // first one and only delimited ones count; else from the first 0x55, each in turn.
        // Fewer than 7 from a 0x55 are kept, or fewer than 15 at a cut by size when only
        // delimited replies count.
        const auto at = [&before](int i) { return quint8(before.at(i)); };
        const auto checksum = [&at](int start) {
            return (at(start + 2) + at(start + 3) + at(start + 4) + at(start + 5) + at(start + 6)) &
                   0xFF;
        };
        const auto isDelimited = [&](int start) {
            for (;;) {
                const int end = start + kMinReplyBytes;
                if (end >= before.size())
                    return end == before.size() && silent;
                if (at(end) == checksum(start))
                    return true;
                if (at(end) != 0x55)
                    return false;
                start = end;
            }
        };
        bool anyDelimited = carried;
        for (int i = 0; i + kMinReplyBytes <= before.size(); ++i)
            anyDelimited = anyDelimited || (at(i) == 0x55 && isDelimited(i));
        const int keep = anyDelimited && !silent ? 2 * kMinReplyBytes + 1 : kMinReplyBytes;
        carried = anyDelimited && !silent;
        const auto countsFrom = [&](int from) {
            for (int i = from; i < before.size(); ++i) {
                if (at(i) != 0x55)
                    continue;
                if (before.size() - i < keep || !anyDelimited || isDelimited(i))
                    return i;
            }
            return int(before.size());
        };
        int start = countsFrom(0);
        CHECK(outcome.dropped == start);
        // Each reply in turn is copied into the frame, as far as the burst goes on.
        ReplyFrame expectedFrame;
        std::copy(std::begin(frameBefore), std::end(frameBefore), expectedFrame);
        int n = 0;
        while (before.size() - start >= keep) {
            int end = start + kMinReplyBytes;
            if (end < before.size() && at(end) == checksum(start))
                ++end;
            const int next = countsFrom(end);
            CHECK(n < outcome.replies.size());
            const BurstReply &got = outcome.replies.at(n++);
            CHECK(got.bytes == before.mid(start, next - start));
            CHECK(got.reply.status == at(start + 3));
            CHECK(got.reply.distanceTenths == at(start + 5) * 256 + at(start + 6));
            if (hasLogLine(got.reply))
                checkLine(receiveLine(got.reply, unit, time), got.reply, unit, prefix);
            for (int i = 0; i < int(sizeof(ReplyFrame)) && start + i < before.size(); ++i)
                expectedFrame[i] = at(start + i);
            start = next;
        }
        CHECK(outcome.replies.size() == n);
        CHECK(outcome.decoded() == (n > 0));
        CHECK(outcome.burst == before.left(start));
        CHECK(buffer == before.mid(start));
        CHECK(buffer.size() < keep);
        CHECK(buffer.isEmpty() || buffer.at(0) == '\x55');
        CHECK(carry.delimitedOnly == carried);
        CHECK(std::equal(std::begin(frame), std::end(frame), expectedFrame));
    };

    size_t i = 0;
    LengthUnit unit = LengthUnit::Metre;
    while (i + 2 <= reads.size) {
        const quint8 control = reads.data[i];
        const size_t length = std::min<size_t>(reads.data[i + 1], reads.size - i - 2);
        const char *payload = reinterpret_cast<const char *>(reads.data + i + 2);
        i += 2 + length;

        unit = unitFromByte(control);
        QByteArray bytes;
        for (int n = (control >> 3) + 1; n > 0; --n)
            bytes.append(payload, int(length));

        const int sizeBefore = buffer.size();
        CHECK(sizeBefore <= kMaxBurstBytes);
        timerRunning = true;
        const bool tooLong = collectBytes(buffer, bytes);
        CHECK(buffer.size() == sizeBefore + bytes.size());
        CHECK(buffer.endsWith(bytes));
        CHECK(tooLong == (buffer.size() > kMaxBurstBytes));
        CHECK(buffer.size() <= kMaxBurstBytes + bytes.size());
        if (tooLong) {
            endNow(unit, false);
            // Only the start of a reply near the very end of the burst waits for its rest.
            CHECK(buffer.size() <= 2 * kMinReplyBytes);
        } else if (control & 4) {
            endNow(unit, true);
        }
    }
    // The line falls silent after the last read.
    if (timerRunning)
        endNow(unit, true);
}

void runAssembler(const quint8 *data, size_t size, ReplyFrame &frame)
{
    if (size == 0)
        return;
    const LengthUnit unit = unitFromByte(data[0]);

    // What the frame and position must be, kept independently of the assembler.
    ReplyFrame model;
    std::copy(std::begin(frame), std::end(frame), model);
    int modelPos = 0;
    int pos = 0;

    for (size_t i = 1; i < size; ++i) {
        const quint8 byte = data[i];
        CHECK(pos >= 0 && pos <= 6);

        bool expectComplete = false;
        if (byte == 0x55) {
            model[0] = byte;
            modelPos = 1;
        } else {
            model[modelPos] = byte;
            expectComplete = modelPos == 6;
            ++modelPos;
        }

        const AssembledOutcome outcome = assembleByte(frame, pos, byte);
        CHECK(pos >= 0 && pos <= 6);
        CHECK(outcome.complete == expectComplete);
        if (!outcome.complete) {
            CHECK(pos == modelPos);
            CHECK(std::equal(std::begin(frame), std::end(frame), model));
            continue;
        }

        CHECK(pos == 0);
        CHECK(std::all_of(std::begin(frame), std::end(frame), [](quint8 b) { return b == 0; }));
        CHECK(outcome.frame.size() == int(sizeof(ReplyFrame)));
        CHECK(std::memcmp(outcome.frame.constData(), model, sizeof(ReplyFrame)) == 0);
        CHECK(outcome.reply.status == model[3]);
        CHECK(outcome.reply.distanceTenths == model[5] * 256 + model[6]);
        if (hasLogLine(outcome.reply))
            checkLine(frameLine(outcome.reply, unit), outcome.reply, unit, QString());

        std::fill(std::begin(model), std::end(model), quint8(0));
        modelPos = 0;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A fixed moment: the fuzzer reads no clock, so every run of an input is the same.
    static const QDateTime time(QDate(2026, 3, 4), QTime(9, 15, 2, 47));

    size_t readsSize = 0;
    if (size >= 2)
        readsSize = std::min<size_t>(size_t(data[0]) << 8 | data[1], size - 2);
    const quint8 *reads = size >= 2 ? data + 2 : data;
    const quint8 *rest = reads + readsSize;
    const size_t restSize = size - std::min<size_t>(size, 2) - readsSize;

    ReplyFrame frame = {};
    runBursts(Reads{reads, readsSize}, frame, time);
    runAssembler(rest, restSize, frame);
    return 0;
}
