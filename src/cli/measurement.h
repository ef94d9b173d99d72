#pragma once

#include "core/measurementtext.h"
#include "core/replyframe.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>

#include <optional>

namespace rangefinder {

// A distance as a log wrote it, without the reply it came from.
struct WrittenValue
{
    double value = 0; // six significant digits at most, as written
    LengthUnit unit = LengthUnit::Metre;
};

// One command and what came of it.
struct Measurement
{
    enum class Status {
        Ok,       // a reply with a status other than 0 and a distance other than 0
        Failed,   // a reply with status 0, or with distance 0 (the window shows nothing for it)
        Timeout,  // no reply decoded within the timeout
        Rejected, // --strict: a reply whose check byte is wrong or missing
        // --reconnect: the port went away at time and stayed away latencyMs, until it opened
        // again or the run ended
        Disconnected,
    };

    Status status = Status::Timeout;
    QDateTime time;        // when the reply was decoded, or when the timeout ran out
    Reply reply;           // all but Timeout
    qint64 latencyMs = -1; // from the command's write to the decoded reply; -1 for Timeout
    // Every byte of the reply from its start byte on, with whatever followed in its burst up to
    // the next reply's start byte, and its last byte when that came in a later burst; empty for
    // Timeout.
    QByteArray burst;

    // Read back from a log that holds the value but not the reply's bytes, when the value is
    // none the device can report (typed by hand): the distance comes from this, not from reply.
    std::optional<WrittenValue> written;
    // Read back from a window log, which has times of day but no date: time is then on
    // 1970-01-01 UTC plus one day per day boundary, and is written as hours:minutes:seconds
    // since that first midnight.
    bool timeOfDayOnly = false;
};

// A reply came: the measurement is neither a timeout nor a disconnection.
inline bool hasReply(const Measurement &measurement)
{
    return measurement.status != Measurement::Status::Timeout &&
           measurement.status != Measurement::Status::Disconnected;
}

inline bool hasLatency(const Measurement &measurement)
{
    return hasReply(measurement) && measurement.latencyMs >= 0;
}

} // namespace rangefinder

Q_DECLARE_METATYPE(rangefinder::Measurement)
