#pragma once

#include <QString>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// Reads back what the terminal at path really holds, not what a port object remembers, and
// checks it is the device's line: speed, 8 data bits, no parity, one stop bit, no flow control.
inline void verifyLineSettings(const QString &path, int speed)
{
    const int fd = ::open(qPrintable(path), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio{};
    const int read = tcgetattr(fd, &tio);
    ::close(fd);
    QCOMPARE(read, 0);
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(int(cfgetispeed(&tio)), speed);
    QCOMPARE(int(tio.c_cflag & CSIZE), int(CS8));
    QVERIFY(!(tio.c_cflag & PARENB));
    QVERIFY(!(tio.c_cflag & CSTOPB));
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));
}
