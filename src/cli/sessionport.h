#pragma once

#include "cli/portaccess.h"

#include <QObject>
#include <QSerialPort>
#include <QString>

class QTimer;

namespace rangefinder {

// The serial port a session measures on: opened with the window's line settings and locked for
// as long as it is open, so that a second run on the same terminal, through whatever path, is
// told it is busy; after the device went away, opened again by its name until it is back.
class SessionPort : public QObject
{
    Q_OBJECT

public:
    SessionPort(const QString &name, qint32 baudRate, QObject *parent = nullptr);
    ~SessionPort() override;

    // False, and failure() says why, when the port cannot be used.
    bool open();
    const OpenFailure &failure() const { return m_failure; }
    // The lock goes with the port: a device that comes back is locked anew.
    void close();
    bool isOpen() const { return m_serial->isOpen(); }
    QSerialPort &serial() const { return *m_serial; }

    // Tries open() this often until it succeeds, then says reopened(). The name is set again
    // each time, so a symbolic link is followed to wherever it points then.
    void reopenEvery(int intervalMs);
    void stopReopening();

signals:
    void reopened();

private:
    bool lock();
    void fail(const OpenFailure &failure);
    void tryReopen();

    QString m_name;
    qint32 m_baudRate;
    QSerialPort *m_serial;
    QTimer *m_reopenTimer;
    int m_lock = -1;     // the terminal, locked for as long as the port is open
    int m_lockError = 0; // errno of a lock that could not be taken
    OpenFailure m_failure = {PortAccess::Kind::Usable, 0, QString()};
};

} // namespace rangefinder
