#include "core/receivepath.h"

#include "core/commandframe.h"

#include <algorithm>

bool collectBytes(QByteArray &buffer, const QByteArray &bytes)
{
    buffer.append(bytes);
    return buffer.size() > kMaxBurstBytes;
}

namespace {

// Where the reply starting at start ends: after its 7 bytes, or after its checksum when that
// follows. A checksum that happens to be 0x55 is no start of a further reply.
int replyEnd(const QByteArray &buffer, int start)
{
    const int end = start + kMinReplyBytes;
    if (end < buffer.size() &&
        quint8(buffer.at(end)) == frameChecksum(buffer.mid(start, kMinReplyBytes)))
        return end + 1;
    return end;
}

int nextStart(const QByteArray &buffer, int from)
{
    const int start = buffer.indexOf(kReplyStartByte, from);
    return start < 0 ? buffer.size() : start;
}

} // namespace

BurstOutcome endBurst(QByteArray &buffer, ReplyFrame &frame, LengthUnit unit, const QDateTime &time)
{
    BurstOutcome outcome;
    // The late end of an earlier reply, or noise: decoded from there, it would be shown as a
    // made-up distance, and the reply behind it would be lost.
    int start = nextStart(buffer, 0);
    outcome.dropped = start;
    // Two commands sent close together have their replies arrive as one burst.
    const auto from = [&buffer](int at) {
        return QByteArray::fromRawData(buffer.constData() + at, buffer.size() - at);
    };
    while (frameFromBurst(from(start), frame)) {
        const int next = nextStart(buffer, replyEnd(buffer, start));
        BurstReply reply;
        reply.reply = replyFromFrame(frame);
        // Distance 0 is no reading and gets no line: each line of a saved log is a measurement.
        if (reply.reply.raw != 0)
            reply.line = receiveLine(reply.reply, unit, time);
        reply.bytes = buffer.mid(start, next - start);
        outcome.replies.append(reply);
        start = next;
    }
    outcome.burst = buffer.left(start);
    buffer.remove(0, start);
    return outcome;
}

AssembledOutcome assembleByte(ReplyFrame &frame, int &pos, quint8 byte, LengthUnit unit)
{
    AssembledOutcome outcome;
    if (!assembleFrameByte(frame, pos, byte))
        return outcome;

    outcome.complete = true;
    outcome.frame = QByteArray(reinterpret_cast<const char *>(frame), int(sizeof(ReplyFrame)));
    outcome.reply = replyFromFrame(frame);
    if (outcome.reply.raw != 0)
        outcome.line = frameLine(outcome.reply, unit);

    pos = 0;
    std::fill(std::begin(frame), std::end(frame), quint8(0));
    return outcome;
}
