#pragma once

#include "core/measurementtext.h"
#include "core/replyframe.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

// The receive path without its widgets and timers, so that the window, the command line and
// the fuzzer all run the one implementation.

// Adds received bytes to the burst being collected. Returns true when the burst has grown too
// long to wait for silence and must be ended now.
bool collectBytes(QByteArray &buffer, const QByteArray &bytes);

struct BurstReply
{
    Reply reply;
    QString line;     // the log line; empty when there is nothing to log (distance 0)
    QByteArray bytes; // from its start byte up to the next reply's, or to the end of the burst
};

struct BurstOutcome
{
    QVector<BurstReply> replies; // in the order received; none: no reply, or a residue kept
    QByteArray burst; // every byte of the burst now gone from the buffer, dropped ones first
    int dropped = 0;  // bytes before the first reply's start byte
    bool decoded() const { return !replies.isEmpty(); }
};

// Ends the burst in buffer: drops the bytes before its first start byte and decodes a reply
// from there; its checksum, when it follows, goes with it. Further replies are read from
// there the same way, each into frame in turn, and leave the buffer. What is left, 6 bytes or
// fewer from a start byte, stays as a residue (so a residue always starts with the start byte).
BurstOutcome endBurst(QByteArray &buffer, ReplyFrame &frame, LengthUnit unit,
                      const QDateTime &time);

struct AssembledOutcome
{
    bool complete = false;
    Reply reply;
    QString line;     // empty when there is nothing to log
    QByteArray frame; // the eight frame bytes as they stood when the frame completed
};

// Feeds one byte to the byte-by-byte decoder; a completed frame resets frame and pos.
AssembledOutcome assembleByte(ReplyFrame &frame, int &pos, quint8 byte, LengthUnit unit);
