#include "core/commandframe.h"

namespace rangefinder {

QByteArray commandFrame()
{
    static const char bytes[kFrameSize] = {'\x55', '\xAA', '\x88', '\xFF',
                                           '\xFF', '\xFF', '\xFF', '\x84'};
    return QByteArray::fromRawData(bytes, kFrameSize);
}

quint8 frameChecksum(const QByteArray &frame)
{
    unsigned sum = 0;
    for (int i = 2; i <= 6 && i < frame.size(); ++i)
        sum += static_cast<quint8>(frame.at(i));
    return static_cast<quint8>(sum & 0xFF);
}

CheckByte checkByteOf(const QByteArray &reply)
{
    if (reply.size() < kFrameSize)
        return CheckByte::Absent;
    return quint8(reply.at(kFrameSize - 1)) == frameChecksum(reply) ? CheckByte::Match
                                                                    : CheckByte::Mismatch;
}

} // namespace rangefinder
