#pragma once

#include <QObject>

namespace rangefinder {

// receivers() is protected; counting them is the one way to see that a connection exists
// exactly once when running its slot twice would leave no trace.
struct ReceiverCount : QObject
{
    static int of(const QObject *sender, const char *signal)
    {
        // Through a member pointer: casting the sender to this type would be undefined.
        int (QObject::*receivers)(const char *) const = &ReceiverCount::receivers;
        return (sender->*receivers)(signal);
    }
};

} // namespace rangefinder
