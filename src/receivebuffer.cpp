#include "widget.h"

#include "receivepath.h"

#include <QSerialPort>
#include <QTimer>

void Widget::com_delay()
{
    rxTimer->start(kBurstSilenceMs);
    // A line that never falls silent would otherwise keep the burst open for ever.
    if (collectBytes(rxBuffer, serial->readAll()))
        decodeBurst();
}
