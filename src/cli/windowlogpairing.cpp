#include "cli/windowlogpairing.h"

#include <algorithm>

namespace rangefinder {

void WindowLogPairing::addSend(const QDateTime &time)
{
    m_sendTime = time;
    m_leastBalance = m_heldSends.isEmpty() ? -1 : std::min(m_leastBalance - 1, -1);
    m_heldSends.append(time);
}

void WindowLogPairing::addReply(const Measurement &reply)
{
    m_heldReplies.append(HeldReply{int(m_heldSends.size()), m_sendTime, reply});
    ++m_leastBalance;
    // Once every send held is answered, later lines change nothing before them.
    if (m_heldSends.isEmpty() || m_leastBalance >= 0)
        release();
}

void WindowLogPairing::sendFailed()
{
    if (!heldSendIsLast())
        return;
    m_heldSends.removeLast();
    ++m_unsent;
    // Rare: worked out anew rather than undone.
    m_leastBalance = 0;
    for (int i = m_heldSends.size() - 1, replies = m_heldReplies.size(); i >= 0; --i) {
        while (replies > 0 && m_heldReplies.at(replies - 1).sendsBefore > i)
            --replies;
        m_leastBalance = std::min(m_leastBalance, int(m_heldReplies.size()) - replies -
                                                      (int(m_heldSends.size()) - i));
    }
}

void WindowLogPairing::finish()
{
    if (heldSendIsLast())
        m_heldSends.removeLast();
    release();
}

bool WindowLogPairing::heldSendIsLast() const
{
    return !m_heldSends.isEmpty() &&
           (m_heldReplies.isEmpty() || m_heldReplies.last().sendsBefore < m_heldSends.size());
}

// The device answers in order, and a command whose reply came is not waited for any longer:
// from the last reply back, each answers the latest send before it that no later reply took.
// So replies after a run of sends answer the latest of them, and the counts are right also
// when replies run behind the sends. An unanswered send is a timeout at its time; records
// follow the lines' order.
void WindowLogPairing::release()
{
    QVector<int> partner(m_heldReplies.size(), -1);
    QVector<bool> answered(m_heldSends.size(), false);
    int before = m_heldSends.size();
    for (int r = m_heldReplies.size() - 1; r >= 0 && before > 0; --r) {
        before = std::min(m_heldReplies.at(r).sendsBefore, before) - 1;
        // No send before it, so none before the replies before it either.
        if (before < 0)
            break;
        partner[r] = before;
        answered[before] = true;
    }
    int send = 0;
    auto timeoutsBefore = [&](int end) {
        for (; send < end; ++send) {
            if (answered.at(send))
                continue;
            Measurement m;
            m.timeOfDayOnly = true;
            m.status = Measurement::Status::Timeout;
            m.time = m_heldSends.at(send);
            m_ready.enqueue(m);
        }
    };
    for (int r = 0; r < m_heldReplies.size(); ++r) {
        const HeldReply &held = m_heldReplies.at(r);
        timeoutsBefore(held.sendsBefore);
        Measurement m = held.reply;
        m.timeOfDayOnly = true;
        const QDateTime sent = partner.at(r) >= 0 ? m_heldSends.at(partner.at(r)) : held.lastSend;
        // A failure line has no time of its own; a reply stamped before its send has no
        // latency (the clock was set back).
        if (!m.time.isValid())
            m.time = sent;
        else if (partner.at(r) >= 0 && sent <= m.time)
            m.latencyMs = sent.msecsTo(m.time);
        m_ready.enqueue(m);
    }
    timeoutsBefore(m_heldSends.size());
    m_heldSends.clear();
    m_heldReplies.clear();
    m_leastBalance = 0;
}

} // namespace rangefinder
