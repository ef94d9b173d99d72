#pragma once

#include "simulator/devicesimulator.h"

#include <QTest>

#include <termios.h>

namespace rangefinder {

// Reads back what the terminal really holds, not what a port object remembers, and checks it
// is the device's line: speed, 8 data bits, no parity, one stop bit, no flow control.
inline void verifyLineSettings(const DeviceSimulator &sim, int speed)
{
    termios tio{};
    QVERIFY(sim.readLineSettings(&tio));
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(int(cfgetispeed(&tio)), speed);
    QCOMPARE(int(tio.c_cflag & CSIZE), int(CS8));
    QVERIFY(!(tio.c_cflag & PARENB));
    QVERIFY(!(tio.c_cflag & CSTOPB));
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));
}

} // namespace rangefinder
