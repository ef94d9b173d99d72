#include "cli/measurementsession.h"

#include "cli/sessionport.h"
#include "core/commandframe.h"
#include "core/portfault.h"
#include "core/receivepath.h"

#include <QDateTime>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace rangefinder {

MeasurementSession::MeasurementSession(const SessionSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings),
      m_port(new SessionPort(settings.portName, settings.baudRate, this)),
      m_burstTimer(new QTimer(this)), m_replyTimer(new QTimer(this)),
      m_intervalTimer(new QTimer(this)), m_durationTimer(new QTimer(this))
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
    connect(m_port, &SessionPort::reopened, this, &MeasurementSession::comeBack);
    connect(&m_port->serial(), &QSerialPort::readyRead, this, &MeasurementSession::collect);
    connect(&m_port->serial(), &QSerialPort::errorOccurred, this, &MeasurementSession::portError);
}

MeasurementSession::~MeasurementSession()
{
    shutDown();
}

bool MeasurementSession::open()
{
    return m_port->open();
}

const OpenFailure &MeasurementSession::openFailure() const
{
    return m_port->failure();
}

void MeasurementSession::start()
{
    if (m_state != State::Idle || !m_port->isOpen())
        return;
    m_state = State::Pausing;
    if (m_settings.durationMs >= 0)
        m_durationTimer->start(static_cast<int>(m_settings.durationMs));
    writeCommand();
}

void MeasurementSession::stop()
{
    // A reply already decoded is reported; a command still waiting for one is not.
    const State was = std::exchange(m_state, State::Idle);
    m_replyTimer->stop();
    if (was == State::Holding)
        emit measured(judged(m_held));
    if (was == State::Away)
        emit measured(awayGap());
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
    QSerialPort &serial = m_port->serial();
    if (serial.write(frame) != frame.size()) {
        lose(QStringLiteral("cannot write the command: %1").arg(serial.errorString()));
        return;
    }
    m_sinceWrite.start();
    ++m_sent;
    m_state = State::Waiting;
    m_sendDue = false;
    m_replyTimer->start(m_settings.timeoutMs);
    if (moreToSend())
        m_intervalTimer->start(m_settings.intervalMs);
}

void MeasurementSession::intervalElapsed()
{
    if (m_state == State::Idle || !moreToSend())
        return;
    if (m_state != State::Pausing)
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
    const QByteArray bytes = m_port->serial().readAll();
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
    if (m_state == State::Holding && !m_buffer.isEmpty()) {
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
    const bool answers = !stale && m_state == State::Waiting;
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
        m_state = State::Holding;
        return;
    }
    complete(judged(measurement));
}

Measurement MeasurementSession::judged(Measurement measurement) const
{
    measurement.status =
        isReading(measurement.reply) ? Measurement::Status::Ok : Measurement::Status::Failed;
    if (m_settings.strict && checkByteOf(measurement.burst) != CheckByte::Match)
        measurement.status = Measurement::Status::Rejected;
    return measurement;
}

void MeasurementSession::concludeHeld()
{
    if (m_state == State::Holding)
        complete(judged(m_held));
}

void MeasurementSession::replyTimedOut()
{
    if (!awaitsReply())
        return;
    if (m_state == State::Holding) {
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
    m_state = State::Pausing;
    m_replyTimer->stop();
    emit measured(measurement);
    if (m_state == State::Idle)
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
    if (m_state == State::Idle || awaitsReply() || moreToSend())
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
    QSerialPort &serial = m_port->serial();
    const QString portText = serial.errorString();
    // A reply received whole just before is still a measurement; no command follows it.
    QByteArray rest;
    {
        const QSignalBlocker blocker(serial);
        rest = serial.readAll();
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
    if (m_settings.reconnectMs > 0 && m_state != State::Idle) {
        goAway(reason);
        return;
    }
    const bool wasRunning = m_state != State::Idle || m_port->isOpen();
    shutDown();
    if (wasRunning)
        emit deviceLost(reason);
}

void MeasurementSession::goAway(const QString &reason)
{
    m_state = State::Away;
    m_staleBurst = false;
    m_buffer.clear();
    m_carry = BurstCarry();
    m_burstTimer->stop();
    m_replyTimer->stop();
    m_port->close();
    m_awaySince = QDateTime::currentDateTime();
    m_away.start();
    // The pace goes on: the next command is due an interval after the last one.
    if (moreToSend() && !m_intervalTimer->isActive())
        m_intervalTimer->start(
            int(std::max<qint64>(0, m_settings.intervalMs - m_sinceWrite.elapsed())));
    m_port->reopenEvery(m_settings.reconnectMs);
    emit deviceAway(reason);
}

void MeasurementSession::comeBack()
{
    concludeAway();
    emit deviceBack();
    if (m_state != State::Idle && m_sendDue && moreToSend())
        writeCommand();
}

Measurement MeasurementSession::awayGap() const
{
    Measurement gap;
    gap.status = Measurement::Status::Disconnected;
    gap.time = m_awaySince;
    gap.latencyMs = m_away.elapsed();
    return gap;
}

void MeasurementSession::concludeAway()
{
    if (m_state != State::Away)
        return;
    m_port->stopReopening();
    m_state = State::Pausing;
    emit measured(awayGap());
}

void MeasurementSession::shutDown()
{
    m_state = State::Idle;
    for (QTimer *timer : {m_burstTimer, m_replyTimer, m_intervalTimer, m_durationTimer})
        timer->stop();
    m_port->stopReopening();
    m_port->close();
}

} // namespace rangefinder
