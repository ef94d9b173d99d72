#include "cli/sessionport.h"

#include "core/linesettings.h"

#include <QFile>
#include <QTimer>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace rangefinder {

SessionPort::SessionPort(const QString &name, qint32 baudRate, QObject *parent)
    : QObject(parent), m_name(name), m_baudRate(baudRate), m_serial(new QSerialPort(this)),
      m_reopenTimer(new QTimer(this))
{
    connect(m_reopenTimer, &QTimer::timeout, this, &SessionPort::tryReopen);
}

SessionPort::~SessionPort()
{
    close();
}

bool SessionPort::open()
{
    if (!lock())
        return false;
    m_serial->setPortName(m_name);
    if (!m_serial->open(QIODevice::ReadWrite)) {
        // The lock's own open, when it failed, saw what QSerialPort's did.
        fail(serialOpenFailure(m_name, m_serial->error(), m_serial->errorString(), m_lockError));
        return false;
    }
    // Set on the open port, as the window sets them.
    QString refusal;
    if (!applyLineSettings(*m_serial, m_baudRate, &refusal)) {
        fail({PortAccess::Kind::LineSettingsRefused, 0,
              QStringLiteral("line settings refused: %1").arg(refusal)});
        return false;
    }
    // Whatever the driver holds from before answers no command of this run.
    m_serial->clear(QSerialPort::Input);
    m_failure = {PortAccess::Kind::Usable, 0, QString()};
    return true;
}

bool SessionPort::lock()
{
    m_lockError = 0;
#ifdef Q_OS_UNIX
    // The exclusive mark that QSerialPort sets stops no one running as root, and its lock files
    // go by the port's name: a lock on the terminal itself holds whatever path names it. Taken
    // before the port opens, so that a refused program changes nothing for the one that has it.
    m_lock = ::open(QFile::encodeName(portPath(m_name)).constData(),
                    O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_lock < 0) {
        m_lockError = errno; // what cannot be opened here, QSerialPort reports
        return true;
    }
    if (::flock(m_lock, LOCK_EX | LOCK_NB) == 0)
        return true;
    fail({PortAccess::Kind::Busy, errno, QStringLiteral("in use by another program")});
    return false;
#else
    return true; // Windows opens a port for one program only
#endif
}

void SessionPort::fail(const OpenFailure &failure)
{
    m_failure = failure;
    close();
}

void SessionPort::close()
{
    if (m_serial->isOpen())
        m_serial->close();
#ifdef Q_OS_UNIX
    if (m_lock >= 0)
        ::close(m_lock);
    m_lock = -1;
#endif
}

void SessionPort::reopenEvery(int intervalMs)
{
    m_reopenTimer->start(intervalMs);
}

void SessionPort::stopReopening()
{
    m_reopenTimer->stop();
}

void SessionPort::tryReopen()
{
    if (!open())
        return;
    m_reopenTimer->stop();
    emit reopened();
}

} // namespace rangefinder
