#pragma once

#include "core/replyframe.h"

#include <QByteArray>
#include <QVector>

namespace rangefinder {

// The receive path without its widgets and timers, so that the window, the command line and
// the fuzzer all run the one implementation. It gives replies and their bytes; what a program
// shows of them is its own business.

// Adds received bytes to the burst being collected. Returns true when the burst has grown too
// long to wait for silence and must be ended now.
bool collectBytes(QByteArray &buffer, const QByteArray &bytes);

struct BurstReply
{
    Reply reply;
    // From its start byte up to the next reply's, or to what stays for the next burst, or to
    // the end of the burst: noise behind a reply goes with it.
    QByteArray bytes;
};

struct BurstOutcome
{
    QVector<BurstReply> replies; // in the order received; none: no reply, or a residue kept
    QByteArray burst; // every byte of the burst now gone from the buffer, dropped ones first
    int dropped = 0;  // bytes before the first reply's start byte
    bool decoded() const { return !replies.isEmpty(); }
};

// How a burst ended: the line fell silent, or the burst grew too long to wait for that.
enum class BurstEnd { Silence, Size };

// What a burst ended by its size hands on to its rest, which follows without a silence.
struct BurstCarry
{
    bool delimitedOnly = false;
};

// Ends the burst in buffer (with the residue of the last one in front of it). A reply is 7
// bytes from a 0x55; it is delimited when they end the burst or are followed by their check
// byte or by a further 0x55 that starts a delimited reply itself. When the buffer holds a delimited
// reply, decoding starts at the first one and takes delimited replies only, the bytes between them
// being noise; otherwise it starts at the first 0x55 and takes each reply in turn, so that a device
// that sends anything after byte 6 still works. A check byte that follows goes with its reply. Each
// reply is copied into frame in turn. Fewer than 7 bytes from a 0x55 at the end stay in the buffer.
// A burst ended by its size goes on in the next one: its cut delimits nothing, fewer than 15
// bytes from a 0x55 at the cut wait for the bytes that tell whether they are a reply, and with
// carry, the rest is read as delimited replies only when the burst held one.
BurstOutcome endBurst(QByteArray &buffer, ReplyFrame &frame, BurstEnd end = BurstEnd::Silence,
                      BurstCarry *carry = nullptr);

struct AssembledOutcome
{
    bool complete = false;
    Reply reply;
    QByteArray frame; // the eight frame bytes as they stood when the frame completed
};

// Feeds one byte to the byte-by-byte decoder; a completed frame resets frame and pos.
AssembledOutcome assembleByte(ReplyFrame &frame, int &pos, quint8 byte);

} // namespace rangefinder
