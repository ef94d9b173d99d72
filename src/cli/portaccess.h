#pragma once

#include <QSerialPort>
#include <QString>

namespace rangefinder {

// Why a serial port can or cannot be opened by this user, in facts that the advice is made of.
struct PortAccess
{
    enum class Kind {
        Usable,
        Missing,             // no such file
        NoAccess,            // its permissions keep this user out
        Busy,                // another program has it
        LineSettingsRefused, // it opened, but refused the window's line settings
        OtherFailure         // systemText says why
    };
    Kind kind = Kind::OtherFailure;
    QString path;
    QString user;
    QString owner;
    QString group;
    bool groupMayUse = false;   // the group may read and write it
    bool userInGroup = false;   // by the group database
    bool groupInEffect = false; // this process has the group (not so until a new login)
    QString systemText;
};

// Why a port did not open (Usable: it did).
struct OpenFailure
{
    PortAccess::Kind kind = PortAccess::Kind::OtherFailure;
    // errno of the system call that failed, kept from this program's own open and lock of the
    // port; 0 where only QSerialPort saw the failure, whose text then says it.
    int systemError = 0;
    QString text;
};

// The file QSerialPort opens for a port name: a bare name such as ttyUSB0 is one in /dev.
QString portPath(const QString &name);

// QSerialPort's failure to open a port, told by its error and the state of the file: a port
// this user may use that QSerialPort calls a matter of permission is in use (its lock file, or
// a terminal opened exclusively).
OpenFailure serialOpenFailure(const QString &port, QSerialPort::SerialPortError error,
                              const QString &errorText, int systemError = 0);
// The facts for a port (a name such as ttyUSB0, or a path) after an attempt to open it.
PortAccess portAccess(const QString &port, const OpenFailure &failure);
// Tries to open the port as the window's scan does, and closes it again.
PortAccess probePort(const QString &port);
// Why the user cannot open the port and what to do about it, in one sentence; empty when it can.
QString accessAdvice(const PortAccess &access);
// The link in directory that leads to the port's device: udev names a USB adapter there by its
// maker and serial number, a name that stays when it is plugged in again. Empty when none does.
QString stablePathOf(const QString &systemLocation,
                     const QString &directory = QStringLiteral("/dev/serial/by-id"));
// --list-ports: every serial port the system reports, a paragraph each with its description,
// manufacturer, serial number, USB vendor:product, stable path and whether this user can open it.
QString portList();

} // namespace rangefinder
