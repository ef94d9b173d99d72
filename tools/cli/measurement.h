#pragma once

#include "replyframe.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>

// One command and what came of it.
struct Measurement
{
    enum class Status {
        Ok,       // a reply with a status other than 0 and a distance other than 0
        Failed,   // a reply with status 0, or with distance 0 (the window shows nothing for it)
        Timeout,  // no reply decoded within the timeout
        Rejected, // --strict: a reply whose check byte is wrong or missing
    };

    Status status = Status::Timeout;
    QDateTime time;        // when the reply was decoded, or when the timeout ran out
    Reply reply;           // all but Timeout
    qint64 latencyMs = -1; // from the command's write to the decoded reply; -1 for Timeout
    // Every byte of the reply from its start byte on, with whatever followed in its burst, and
    // its last byte when that came in a later burst; empty for Timeout.
    QByteArray burst;
};
Q_DECLARE_METATYPE(Measurement)

// Whether the reply's last byte (index 7) is the low 8 bits of the sum of bytes 2 to 6, as in
// the command frame. The window does not ask; a test bench may want to.
enum class CheckByte { Match, Mismatch, Absent };
CheckByte checkByteOf(const QByteArray &reply);
