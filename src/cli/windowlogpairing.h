#pragma once

#include "cli/measurement.h"

#include <QDateTime>
#include <QQueue>
#include <QVector>

namespace rangefinder {

// Pairs the lines of a log saved by the window into records. The window pairs nothing, and its
// replies can be logged after later send lines, so they are paired here, in order: each reply
// answers the latest send line before it that no later reply answers, and the send lines left
// over are timeouts at their time. A failure line takes the time of the send it answers; a
// receive line's latency is from it. A send line still unanswered at the end gives no record.
//
// A send is held as its time alone, so that replies may run any length behind; what is held
// goes out as records once every send before it is answered.
class WindowLogPairing
{
public:
    void addSend(const QDateTime &time);
    // A reply line: its measurement at its time, or without one (a failure line, a value with no
    // time) to take the time of its send.
    void addReply(const Measurement &reply);
    // A reply without a time of its own needs a send line before it.
    bool hasSend() const { return m_sendTime.isValid(); }
    // The window's send-failure line, logged right after the send line of the command it could
    // not write: that send is no command.
    void sendFailed();
    // The input has ended: a command still waiting gives no record.
    void finish();

    // Records paired, in the lines' order.
    QQueue<Measurement> &ready() { return m_ready; }
    // Send lines followed by the window's send-failure line.
    int unsentCount() const { return m_unsent; }

private:
    struct HeldReply
    {
        int sendsBefore = 0; // held sends before it
        QDateTime lastSend;  // the time of the last send line before it
        Measurement reply;   // a failure line's time is not known yet
    };

    bool heldSendIsLast() const;
    void release();

    QQueue<Measurement> m_ready;
    QDateTime m_sendTime; // of the last send line
    QVector<QDateTime> m_heldSends;
    QVector<HeldReply> m_heldReplies;
    // The least, over the held sends, of the replies after one less the sends from it on: every
    // held send is answered when it is 0 or more.
    int m_leastBalance = 0;
    int m_unsent = 0;
};

} // namespace rangefinder
