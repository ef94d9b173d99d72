#include "cli/measurementsession.h"

#include "cli/portaccess.h"
#include "core/commandframe.h"
#include "core/linesettings.h"
#include "core/portfault.h"
#include "core/receivepath.h"

#include <QDateTime>
#include <QFile>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

MeasurementSession::MeasurementSession(const SessionSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings), m_port(new QSerialPort(this)),
      m_burstTimer(new QTimer(this)), m_replyTimer(new QTimer(this)),
      m_intervalTimer(new QTimer(this)), m_durationTimer(new QTimer(this)),
      m_reopenTimer(new QTimer(this))
{
    qRegisterMetaType<Measurement>();
    // Repeating and restarted on every readyRead, as the window's receive timer is.
    connect(m_burstTimer, &QTimer::timeout, this, [this] { endOfBurst(BurstEnd::Silence); });
    for (QTimer *timer : {m_replyTimer, m_intervalTimer, m_durationTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(m_replyTimer, &QTimer::timeout, this, &MeasurementSession::replyTimedOut);
    connect(m_intervalTimer, &QTimer::timeout, this, &MeasurementSession::intervalElapsed);
    connect(m_durationTimer, &QTimer::timeout, this, &MeasurementSession::durationElapsed);
    connect(m_reopenTimer, &QTimer::timeout, this, &MeasurementSession::tryReopen);
    connect(m_port, &QSerialPort::readyRead, this, &MeasurementSession::collect);
    connect(m_port, &QSerialPort::errorOccurred, this, &MeasurementSession::portError);
}

MeasurementSession::~MeasurementSession()
{
    shutDown();
}

bool MeasurementSession::open()
{
    if (!lockPort())
        return false;
    m_port->setPortName(m_settings.portName);
    if (!m_port->open(QIODevice::ReadWrite)) {
        m_openError = m_port->error();
        m_errorString = m_port->errorString();
        closePort();
        return false;
    }
    // Set on the open port, as the window sets them.
    QString refusal;
    if (!applyLineSettings(*m_port, m_settings.baudRate, &refusal)) {
        m_errorString = QStringLiteral("line settings refused: %1").arg(refusal);
        closePort();
        return false;
    }
    // Whatever the driver holds from before answers no command of this run.
    m_port->clear(QSerialPort::Input);
    return true;
}

bool MeasurementSession::lockPort()
{
#ifdef Q_OS_UNIX
    // The exclusive mark that QSerialPort sets stops no one running as root, and its lock files
    // go by the port's name: a lock on the terminal itself holds whatever path names it. Taken
    // before the port opens, so that a refused program changes nothing for the one that has it.
    m_lock = ::open(QFile::encodeName(portPath(m_settings.portName)).constData(),
                    O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_lock < 0 || ::flock(m_lock, LOCK_EX | LOCK_NB) == 0)
        return true;                            // what cannot be opened here, QSerialPort reports
    m_openError = QSerialPort::PermissionError; // as QSerialPort says of a port in use
    m_errorString = QStringLiteral("in use by another program");
    closePort();
    return false;
#else
    return true; // Windows opens a port for one program only
#endif
}

QString MeasurementSession::errorString() const
{
    return m_errorString;
}

void MeasurementSession::start()
{
    if (m_running || !m_port->isOpen())
        return;
    m_running = true;
    if (m_settings.durationMs >= 0)
        m_durationTimer->start(static_cast<int>(m_settings.durationMs));
    writeCommand();
}

void MeasurementSession::stop()
{
    // A reply already decoded is reported; a command still waiting for one is not.
    m_running = false;
    concludeHeld();
    concludeAway();
    shutDown();
}

void MeasurementSession::writeCommand()
{
    // Nothing received before the write belongs to this command's reply.
    if (m_burstTimer->isActive()) {
        m_staleBurst = true;
    } else {
        m_buffer.clear();
        m_carry = BurstCarry();
    }

    const QByteArray frame = commandFrame();
    if (m_port->write(frame) != frame.size()) {
        lose(QStringLiteral("cannot write the command: %1").arg(m_port->errorString()));
        return;
    }
    m_sinceWrite.start();
    ++m_sent;
    m_waiting = true;
    m_sendDue = false;
    m_replyTimer->start(m_settings.timeoutMs);
    if (moreToSend())
        m_intervalTimer->start(m_settings.intervalMs);
}

void MeasurementSession::intervalElapsed()
{
    if (!m_running || !moreToSend())
        return;
    if (m_waiting || m_away.isValid())
        m_sendDue = true;
    else
        writeCommand();
}

void MeasurementSession::durationElapsed()
{
    m_durationOver = true;
    m_intervalTimer->stop();
    m_sendDue = false;
    finishIfDone();
}

void MeasurementSession::collect()
{
    m_burstTimer->start(m_settings.burstSilenceMs);
    const QByteArray bytes = m_port->readAll();
    // readAll may have reported the device gone.
    if (!m_port->isOpen())
        return;
    // A burst grown too long goes on: its rest is judged with what it held.
    if (collectBytes(m_buffer, bytes))
        endOfBurst(BurstEnd::Size);
}

void MeasurementSession::endOfBurst(BurstEnd end)
{
    if (end == BurstEnd::Silence)
        m_burstTimer->stop();
    if (!m_port->isOpen())
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const bool stale = m_staleBurst;
    m_staleBurst = false;
    if (m_holding && !m_buffer.isEmpty()) {
        m_held.burst.append(m_buffer.at(0));
        m_buffer.remove(0, 1);
        concludeHeld();
        if (m_buffer.isEmpty())
            return;
    }
    const BurstOutcome outcome = endBurst(m_buffer, m_frame, end, &m_carry);
    // A short burst from before the command cannot be the start of its reply.
    if (stale)
        m_buffer.clear();
    if (!outcome.decoded())
        return;
    // Commands never overlap: at most the first reply of a burst answers the one waiting.
    const bool answers = !stale && m_waiting;
    m_ignoredReplies += outcome.replies.size() - (answers ? 1 : 0);
    if (!answers)
        return;

    Measurement measurement;
    measurement.time = now;
    measurement.reply = outcome.replies.first().reply;
    measurement.latencyMs = m_sinceWrite.elapsed();
    measurement.burst = outcome.replies.first().bytes;
    // Only a reply that ended its burst can have its last byte still on the way.
    if (measurement.burst.size() < kFrameSize && outcome.replies.size() == 1 &&
        m_buffer.isEmpty()) {
        m_held = measurement;
        m_holding = true;
        return;
    }
    conclude(measurement);
}

void MeasurementSession::conclude(Measurement measurement)
{
    measurement.status =
        isReading(measurement.reply) ? Measurement::Status::Ok : Measurement::Status::Failed;
    if (m_settings.strict && checkByteOf(measurement.burst) != CheckByte::Match)
        measurement.status = Measurement::Status::Rejected;
    complete(measurement);
}

void MeasurementSession::concludeHeld()
{
    if (!m_holding)
        return;
    m_holding = false;
    conclude(m_held);
}

void MeasurementSession::replyTimedOut()
{
    if (!m_running || !m_waiting)
        return;
    if (m_holding) {
        concludeHeld();
        return;
    }
    Measurement measurement;
    measurement.time = QDateTime::currentDateTime();
    measurement.status = Measurement::Status::Timeout;
    complete(measurement);
}

void MeasurementSession::complete(const Measurement &measurement)
{
    m_waiting = false;
    m_replyTimer->stop();
    emit measured(measurement);
    if (!m_running)
        return;
    if (m_sendDue && moreToSend())
        writeCommand();
    else
        finishIfDone();
}

bool MeasurementSession::moreToSend() const
{
    if (m_settings.durationMs >= 0)
        return !m_durationOver;
    return m_settings.count == 0 || m_sent < m_settings.count;
}

void MeasurementSession::finishIfDone()
{
    if (!m_running || m_waiting || moreToSend())
        return;
    concludeAway();
    shutDown();
    emit finished();
}

void MeasurementSession::portError(QSerialPort::SerialPortError error)
{
    // A vanished device (or a pseudo-terminal whose other side closed) reports read errors in
    // a tight loop for as long as the port stays open, so it is closed at the first one.
    QString kind;
    switch (error) {
    case QSerialPort::ResourceError:
        kind = QStringLiteral("resource error");
        break;
    case QSerialPort::ReadError:
        kind = QStringLiteral("read error");
        break;
    case QSerialPort::WriteError:
        kind = QStringLiteral("write error");
        break;
    default:
        return;
    }
    if (!m_port->isOpen())
        return;
    const QString portText = m_port->errorString();
    // A reply received whole just before is still a measurement; no command follows it.
    QByteArray rest;
    {
        const QSignalBlocker blocker(m_port);
        rest = m_port->readAll();
    }
    m_intervalTimer->stop();
    m_sendDue = false;
    collectBytes(m_buffer, rest);
    if (!m_buffer.isEmpty())
        endOfBurst(BurstEnd::Silence);
    concludeHeld();
    QString reason = QStringLiteral("it was removed or stopped answering");
    if (portTextSaysMore(portText))
        reason += QStringLiteral(" (%1: %2)").arg(kind, portText);
    lose(reason);
}

void MeasurementSession::lose(const QString &reason)
{
    if (m_settings.reconnectMs > 0 && m_running) {
        goAway(reason);
        return;
    }
    const bool wasRunning = m_running || m_port->isOpen();
    shutDown();
    if (wasRunning)
        emit deviceLost(reason);
}

void MeasurementSession::goAway(const QString &reason)
{
    m_waiting = false;
    m_holding = false;
    m_staleBurst = false;
    m_buffer.clear();
    m_carry = BurstCarry();
    m_burstTimer->stop();
    m_replyTimer->stop();
    closePort();
    m_awaySince = QDateTime::currentDateTime();
    m_away.start();
    // The pace goes on: the next command is due an interval after the last one.
    if (moreToSend() && !m_intervalTimer->isActive())
        m_intervalTimer->start(
            int(std::max<qint64>(0, m_settings.intervalMs - m_sinceWrite.elapsed())));
    m_reopenTimer->start(m_settings.reconnectMs);
    emit deviceAway(reason);
}

void MeasurementSession::tryReopen()
{
    // open() sets the name again, so a symbolic link is followed to wherever it points now.
    if (!open())
        return;
    concludeAway();
    emit deviceBack();
    if (m_running && m_sendDue && moreToSend())
        writeCommand();
}

void MeasurementSession::concludeAway()
{
    if (!m_away.isValid())
        return;
    m_reopenTimer->stop();
    Measurement gap;
    gap.status = Measurement::Status::Disconnected;
    gap.time = m_awaySince;
    gap.latencyMs = m_away.elapsed();
    m_away.invalidate();
    emit measured(gap);
}

void MeasurementSession::shutDown()
{
    m_running = false;
    m_waiting = false;
    m_holding = false;
    for (QTimer *timer :
         {m_burstTimer, m_replyTimer, m_intervalTimer, m_durationTimer, m_reopenTimer})
        timer->stop();
    closePort();
}

// The lock goes with the port: a device that comes back is locked anew.
void MeasurementSession::closePort()
{
    if (m_port->isOpen())
        m_port->close();
#ifdef Q_OS_UNIX
    if (m_lock >= 0)
        ::close(m_lock);
    m_lock = -1;
#endif
}
