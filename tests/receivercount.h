#pragma once

#include <QObject>

// receivers() is protected; counting them is the one way to see that a connection exists
// exactly once when running its slot twice would leave no trace.
struct ReceiverCount : QObject
{
    static int of(QObject *sender, const char *signal)
    {
        return static_cast<ReceiverCount *>(sender)->receivers(signal);
    }
};
