#pragma once

#include <QString>
#include <QtGlobal>

class QSerialPort;

namespace rangefinder {

// The rates the device runs at, in the order the window's box lists them.
constexpr qint32 kBaudRates[] = {9600, 115200, 230400};

// Sets the device's line on an open port: baudRate, 8 data bits, no parity, one stop bit, no
// flow control, in that order. Every setting is tried even after one is refused; false if any
// was, with the first refusal's reason in errorString (if given).
bool applyLineSettings(QSerialPort &port, qint32 baudRate, QString *errorString = nullptr);

} // namespace rangefinder
