#include "core/receivepath.h"

#include <algorithm>

bool collectBytes(QByteArray &buffer, const QByteArray &bytes)
{
    buffer.append(bytes);
    return buffer.size() > kMaxBurstBytes;
}

BurstOutcome endBurst(QByteArray &buffer, ReplyFrame &frame, LengthUnit unit, const QDateTime &time)
{
    BurstOutcome outcome;
    // The late end of an earlier reply, or noise: decoded from there, it would be shown as a
    // made-up distance, and the reply behind it would be lost.
    const int start = buffer.indexOf(kReplyStartByte);
    outcome.dropped = start < 0 ? buffer.size() : start;
    if (outcome.dropped > 0) {
        outcome.burst = buffer.left(outcome.dropped);
        buffer.remove(0, outcome.dropped);
    }
    if (!frameFromBurst(buffer, frame))
        return outcome;

    outcome.decoded = true;
    outcome.reply = replyFromFrame(frame);
    // Distance 0 is no reading and gets no line: each line of a saved log is a measurement.
    if (outcome.reply.raw != 0)
        outcome.line = receiveLine(outcome.reply, unit, time);
    outcome.burst += buffer;
    buffer.clear();
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
