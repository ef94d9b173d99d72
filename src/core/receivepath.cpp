#include "core/receivepath.h"

#include "core/commandframe.h"

#include <algorithm>

bool collectBytes(QByteArray &buffer, const QByteArray &bytes)
{
    buffer.append(bytes);
    return buffer.size() > kMaxBurstBytes;
}

namespace {

// A reply whose end is plain to see. Noise that happens to hold a 0x55 is almost never one:
// anything it shows would be a made-up distance, and a reply behind it would be lost.
bool delimited(const QByteArray &buffer, int start)
{
    const int end = start + kMinReplyBytes;
    if (end == buffer.size())
        return true;
    const quint8 next = quint8(buffer.at(end));
    return next == quint8(kReplyStartByte) ||
           next == frameChecksum(buffer.mid(start, kMinReplyBytes));
}

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

// The first 0x55 at or after from with a whole reply behind it, a delimited one if asked;
// -1 when there is none.
int nextReply(const QByteArray &buffer, int from, bool delimitedOnly)
{
    for (int at = buffer.indexOf(kReplyStartByte, from);
         at >= 0 && buffer.size() - at >= kMinReplyBytes;
         at = buffer.indexOf(kReplyStartByte, at + 1)) {
        if (!delimitedOnly || delimited(buffer, at))
            return at;
    }
    return -1;
}

// Where the bytes kept for the next burst begin: the first 0x55 at or after from that has
// fewer than 7 bytes behind it, or the end.
int residueStart(const QByteArray &buffer, int from)
{
    const int at =
        buffer.indexOf(kReplyStartByte, std::max(from, buffer.size() - kMinReplyBytes + 1));
    return at < 0 ? buffer.size() : at;
}

} // namespace

BurstOutcome endBurst(QByteArray &buffer, ReplyFrame &frame)
{
    BurstOutcome outcome;
    // Two commands sent close together have their replies arrive as one burst; a late check
    // byte or noise may stand in front of them.
    const bool delimitedOnly = nextReply(buffer, 0, true) >= 0;
    int start = nextReply(buffer, 0, delimitedOnly);
    int done = start >= 0 ? start : residueStart(buffer, 0);
    outcome.dropped = done;
    while (start >= 0) {
        frameFromBurst(QByteArray::fromRawData(buffer.constData() + start, buffer.size() - start),
                       frame);
        const int end = replyEnd(buffer, start);
        const int next = nextReply(buffer, end, delimitedOnly);
        done = next >= 0 ? next : residueStart(buffer, end);
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
