#pragma once

#include "core/measurementtext.h"
#include "core/replyframe.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// The receive path without its widgets and timers, so that the window, the command line and
// the fuzzer all run the one implementation.

// Adds received bytes to the burst being collected. Returns true when the burst has grown too
// long to wait for silence and must be ended now.
bool collectBytes(QByteArray &buffer, const QByteArray &bytes);

struct BurstOutcome
{
    bool decoded = false; // false: no reply, or a residue of 6 bytes or fewer kept in the buffer
    Reply reply;
    QString line;     // the log line; empty when there is nothing to log (distance 0)
    QByteArray burst; // every byte of the burst now gone from the buffer, dropped ones first
    int dropped = 0;  // bytes before the reply's start byte: burst.mid(dropped) is the reply
};

// Ends the burst in buffer: drops the bytes before its first start byte, then decodes the reply
// from there into frame and empties the buffer. A reply of 6 bytes or fewer stays as a residue
// (so a residue always starts with the start byte).
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
