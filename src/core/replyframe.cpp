#include "core/replyframe.h"

#include <algorithm>

namespace rangefinder {

Reply replyFromFrame(const ReplyFrame &frame)
{
    Reply reply;
    reply.status = frame[3];
    reply.distanceTenths = static_cast<quint16>(frame[5] * 256 + frame[6]);
    return reply;
}

bool frameFromBurst(const QByteArray &burst, ReplyFrame &frame)
{
    if (burst.size() < kMinReplyBytes)
        return false;
    const int n = std::min(burst.size(), int(sizeof(ReplyFrame)));
    std::copy(burst.constBegin(), burst.constBegin() + n, frame);
    return true;
}

bool assembleFrameByte(ReplyFrame &frame, int &pos, quint8 byte)
{
    if (byte == quint8(kReplyStartByte)) {
        frame[0] = byte;
        pos = 1;
        return false;
    }
    frame[pos] = byte;
    ++pos;
    return pos > 6;
}

} // namespace rangefinder
