#include "core/receivepath.h"

#include "core/commandframe.h"

#include <QVector>

#include <algorithm>

namespace rangefinder {

bool collectBytes(QByteArray &buffer, const QByteArray &bytes)
{
    buffer.append(bytes);
    return buffer.size() > kMaxBurstBytes;
}

namespace {

// Whether the 7 bytes from each position are a reply whose end is plain to see: they end a
// burst the line fell silent after, or are followed by their check byte, or by a 0x55 that
// itself starts such a reply. Noise that happens to hold a 0x55 is almost never one: anything it
// shows would be a made-up distance, and a reply behind it would be lost. A 0x55 in noise 7
// bytes on from another is as common as any byte, so it delimits only what it starts itself.
QVector<bool> delimitedStarts(const QByteArray &bytes, bool silent)
{
    const int size = bytes.size();
    QVector<bool> delimited(size, false);
    for (int start = size - kMinReplyBytes; start >= 0; --start) {
        if (bytes.at(start) != kReplyStartByte)
            continue;
        const int end = start + kMinReplyBytes;
        if (end == size) {
            delimited[start] = silent;
            continue;
        }
        const quint8 next = quint8(bytes.at(end));
        delimited[start] = next == frameChecksum(QByteArray::fromRawData(bytes.constData() + start,
                                                                         end - start)) ||
                           (next == quint8(kReplyStartByte) && delimited.at(end));
    }
    return delimited;
}

struct Scan
{
    Scan(const QByteArray &burst, bool lineSilent)
        : bytes(burst), silent(lineSilent), delimited(delimitedStarts(burst, lineSilent))
    {}
    const QByteArray &bytes;
    bool silent;               // the line fell silent after the last byte
    int keep = kMinReplyBytes; // a 0x55 with fewer bytes behind it waits for more
    QVector<bool> delimited;   // by position: a delimited reply starts there
};

// Where the reply starting at start ends: after its 7 bytes, or after its check byte when that
// follows. A check byte that happens to be 0x55 is no start of a further reply.
int replyEnd(const QByteArray &buffer, int start)
{
    const int end = start + kMinReplyBytes;
    if (end < buffer.size() &&
        quint8(buffer.at(end)) == frameChecksum(buffer.mid(start, kMinReplyBytes)))
        return end + 1;
    return end;
}

// The first 0x55 at or after from that does not wait for more, a delimited one if asked; -1
// when there is none.
int nextReply(const Scan &scan, int from, bool delimitedOnly)
{
    const QByteArray &bytes = scan.bytes;
    for (int at = bytes.indexOf(kReplyStartByte, from); at >= 0 && bytes.size() - at >= scan.keep;
         at = bytes.indexOf(kReplyStartByte, at + 1)) {
        if (!delimitedOnly || scan.delimited.at(at))
            return at;
    }
    return -1;
}

// Where the bytes kept for the next burst begin: the first 0x55 at or after from that waits
// for more, or the end.
int residueStart(const Scan &scan, int from)
{
    const int at =
        scan.bytes.indexOf(kReplyStartByte, std::max(from, scan.bytes.size() - scan.keep + 1));
    return at < 0 ? scan.bytes.size() : at;
}

} // namespace

BurstOutcome endBurst(QByteArray &buffer, ReplyFrame &frame, BurstEnd burstEnd, BurstCarry *carry)
{
    BurstOutcome outcome;
    Scan scan{buffer, burstEnd == BurstEnd::Silence};
    // Two commands sent close together have their replies arrive as one burst; a late check
    // byte or noise may stand in front of them.
    const bool delimitedOnly = (carry && carry->delimitedOnly) || nextReply(scan, 0, true) >= 0;
    // A reply at a cut waits for the bytes that tell whether it is delimited: its check byte,
    // or the 0x55 behind it and that one's check byte. Farther from the cut, a chain of 0x55s
    // every 7 bytes that runs into it is taken for the noise it almost always is.
    if (delimitedOnly && !scan.silent)
        scan.keep = 2 * kMinReplyBytes + 1;
    if (carry)
        carry->delimitedOnly = delimitedOnly && !scan.silent;
    int start = nextReply(scan, 0, delimitedOnly);
    int done = start >= 0 ? start : residueStart(scan, 0);
    outcome.dropped = done;
    while (start >= 0) {
        frameFromBurst(QByteArray::fromRawData(buffer.constData() + start, buffer.size() - start),
                       frame);
        const int end = replyEnd(buffer, start);
        const int next = nextReply(scan, end, delimitedOnly);
        done = next >= 0 ? next : residueStart(scan, end);
        outcome.replies.append({replyFromFrame(frame), buffer.mid(start, done - start)});
        start = next;
    }
    outcome.burst = buffer.left(done);
    buffer.remove(0, done);
    return outcome;
}

AssembledOutcome assembleByte(ReplyFrame &frame, int &pos, quint8 byte)
{
    AssembledOutcome outcome;
    if (!assembleFrameByte(frame, pos, byte))
        return outcome;

    outcome.complete = true;
    outcome.frame = QByteArray(reinterpret_cast<const char *>(frame), int(sizeof(ReplyFrame)));
    outcome.reply = replyFromFrame(frame);

    pos = 0;
    std::fill(std::begin(frame), std::end(frame), quint8(0));
    return outcome;
}

} // namespace rangefinder
