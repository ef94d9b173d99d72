#include "core/awaitedreplies.h"

#include <algorithm>

namespace rangefinder {

int takeAnswers(QVector<qint64> &sentAtMs, qint64 nowMs, int replies, int timeoutMs)
{
    const auto waiting = std::find_if(sentAtMs.cbegin(), sentAtMs.cend(),
                                      [&](qint64 sent) { return nowMs - sent < timeoutMs; });
    sentAtMs.remove(0, int(waiting - sentAtMs.cbegin()));
    const int answers = std::min(std::max(replies, 0), sentAtMs.size());
    sentAtMs.remove(0, answers);
    return answers;
}

} // namespace rangefinder
