#include "core/linesettings.h"

#include <QSerialPort>

namespace rangefinder {

bool applyLineSettings(QSerialPort &port, qint32 baudRate, QString *errorString)
{
    bool applied = true;
    const auto check = [&](bool ok) {
        if (!ok && applied && errorString)
            *errorString = port.errorString();
        applied = applied && ok;
    };
    check(port.setBaudRate(baudRate, QSerialPort::AllDirections));
    check(port.setDataBits(QSerialPort::Data8));
    check(port.setParity(QSerialPort::NoParity));
    check(port.setStopBits(QSerialPort::OneStop));
    check(port.setFlowControl(QSerialPort::NoFlowControl));
    return applied;
}

} // namespace rangefinder
