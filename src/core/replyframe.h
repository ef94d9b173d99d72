#pragma once

#include <QByteArray>

namespace rangefinder {

// A reply is framed by silence on the line, not by its content: a burst ends once no byte has
// arrived for this long.
constexpr int kBurstSilenceMs = 10;
// Bytes 0 to 6 carry everything the decoder reads; a shorter burst is kept for the next one.
constexpr int kMinReplyBytes = 7;
// A line that never falls silent must not grow the receive buffer without bound.
constexpr int kMaxBurstBytes = 4096;

// Every reply starts with it; whatever comes before it in a burst belongs to no reply.
constexpr char kReplyStartByte = 0x55;

using ReplyFrame = quint8[8];

struct Reply
{
    quint8 status = 0;          // 0: the device could not measure
    quint16 distanceTenths = 0; // in tenths of a metre: 178 for 17.8 m
};

// A reply that gives a distance: the device measured, and not 0.
inline bool isReading(const Reply &reply)
{
    return reply.status != 0 && reply.distanceTenths != 0;
}

// Status from byte 3, distance from bytes 5 (high) and 6 (low).
Reply replyFromFrame(const ReplyFrame &frame);

// Copies the start of a burst (at most 8 bytes) into frame. A burst of 6 bytes or fewer is a
// residue: nothing is copied and false is returned.
bool frameFromBurst(const QByteArray &burst, ReplyFrame &frame);

// Feeds one byte to the byte-by-byte assembler. 0x55 always restarts at index 0. Returns true
// when bytes 0 to 6 are complete; the caller decodes, then resets frame and pos.
bool assembleFrameByte(ReplyFrame &frame, int &pos, quint8 byte);

} // namespace rangefinder
