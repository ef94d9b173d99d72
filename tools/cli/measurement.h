#pragma once

#include "replyframe.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>

// One command and what came of it.
struct Measurement
{
    enum class Status {
        Ok,      // a reply with a status other than 0 and a distance other than 0
        Failed,  // a reply with status 0, or with distance 0 (the window shows nothing for it)
        Timeout, // no reply decoded within the timeout
    };

    Status status = Status::Timeout;
    QDateTime time;        // when the reply was decoded, or when the timeout ran out
    Reply reply;           // Ok and Failed only
    qint64 latencyMs = -1; // from the command's write to the decoded reply; -1 for Timeout
    QByteArray burst;      // every byte of the reply's burst; empty for Timeout
};
Q_DECLARE_METATYPE(Measurement)
