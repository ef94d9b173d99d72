#include "widget.h"

#include "replyframe.h"

#include <QSerialPort>
#include <QTimer>

void Widget::com_delay()
{
    rxTimer->start(kBurstSilenceMs);
    rxBuffer.append(serial->readAll());

    // A line that never falls silent would otherwise keep the burst open for ever.
    if (rxBuffer.size() > kMaxBurstBytes)
        decodeBurst();
}
