#pragma once

#include <QVector>

namespace rangefinder {

// How long a command waits for its reply, from its write to the reply decoded.
constexpr int kReplyTimeoutMs = 1000;

// Every reply answers a command. Of the replies decoded at nowMs, as many as there are commands
// sent less than timeoutMs before and not yet answered are answers, the earliest command first;
// a burst's replies beyond those are noise. Takes the answered commands from sentAtMs, and
// forgets those whose time ran out, so that a lost reply leaves nothing a later noise frame
// could take. Times are milliseconds on one monotonic clock, sentAtMs in the order sent.
int takeAnswers(QVector<qint64> &sentAtMs, qint64 nowMs, int replies,
                int timeoutMs = kReplyTimeoutMs);

} // namespace rangefinder
