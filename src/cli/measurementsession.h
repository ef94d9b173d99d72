#pragma once

#include "cli/measurement.h"
#include "cli/portaccess.h"
#include "core/awaitedreplies.h"
#include "core/measurementtext.h"
#include "core/receivepath.h"
#include "core/replyframe.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>

class QTimer;

namespace rangefinder {

class SessionPort;

struct SessionSettings
{
    QString portName;
    qint32 baudRate = 9600;
    int count = 1;                   // measurements to take; 0: until stop()
    qint64 durationMs = -1;          // >= 0: send commands for this long instead of counting them
    int intervalMs = 1000;           // from one command's write to the next
    int timeoutMs = kReplyTimeoutMs; // from a command's write to its decoded reply
    LengthUnit unit = LengthUnit::Metre;
    bool strict = false; // a reply whose check byte is wrong or missing is Rejected
    int reconnectMs = 0; // > 0: a device that goes away is waited for, its port opened this often
    int burstSilenceMs = kBurstSilenceMs; // a burst ends after this long without a byte
};

// Takes measurements on one serial port: writes the command frame, collects the reply with
// the window's silence framing and decode, and reports one Measurement per command.
//
// Pairing replies with commands is by time alone, so a reply is made only of bytes that
// arrived after its command was written: a short residue left over from before the write is
// dropped when the command goes out, and a burst that was already arriving then is ignored.
// A reply with no command waiting is ignored too, and so is every reply behind the first in a
// burst. Short bursts while a command waits stay in the buffer and join the next one, exactly
// as in the window.
//
// When the interval runs out while a command still waits for its reply, the next command is
// written as soon as that reply is decoded or times out; commands never overlap.
//
// A reply decoded without its last byte (7 bytes from its start byte, the end of its burst)
// waits for it until the timeout: serial adapters can deliver that byte well after the rest. The
// first byte of the next burst is taken as that last byte.
//
// With reconnectMs, a device that goes away does not end the run: the port is opened again by
// its name (a symbolic link resolved anew each time) until it opens, and measuring goes on at
// the run's pace. No command is written meanwhile; --duration runs on. The gap is reported as
// one Disconnected measurement once the port is back, or when the run ends without it.
class MeasurementSession : public QObject
{
    Q_OBJECT

public:
    explicit MeasurementSession(const SessionSettings &settings, QObject *parent = nullptr);
    ~MeasurementSession() override;

    // Opens the port with the window's line settings; false and openFailure() on failure, also
    // when another session has the port, through whatever path.
    bool open();
    const OpenFailure &openFailure() const;
    QString errorString() const { return openFailure().text; }
    // Writes the first command at once.
    void start();
    // Closes the port. A command still waiting for its reply gives no Measurement; a reply that
    // waits for its last byte gives its Measurement now.
    void stop();

    bool isRunning() const { return m_state != State::Idle; }
    // Decoded replies that answered no command (noise, a reply later than its timeout, or one
    // behind the first in its burst).
    int ignoredReplies() const { return m_ignoredReplies; }

signals:
    void measured(const rangefinder::Measurement &measurement);
    // Every measurement has been taken; the port is closed.
    void finished();
    // The port reported that the device has gone; the port is closed.
    void deviceLost(const QString &reason);
    // With reconnectMs instead of deviceLost: the port is closed and will be opened again.
    void deviceAway(const QString &reason);
    void deviceBack();

private:
    enum class State {
        Idle,    // not started, or ended: the port is closed or about to be
        Pausing, // no command waits; the next goes out when the interval runs out
        Waiting, // a command waits for its reply
        Holding, // its reply is decoded but for its last byte, which it waits for
        Away,    // the device has gone; its port is opened again every reconnectMs
    };

    bool awaitsReply() const { return m_state == State::Waiting || m_state == State::Holding; }
    void writeCommand();
    void intervalElapsed();
    void durationElapsed();
    void collect();
    void endOfBurst(BurstEnd end);
    void replyTimedOut();
    Measurement judged(Measurement measurement) const;
    void concludeHeld();
    void complete(const rangefinder::Measurement &measurement);
    bool moreToSend() const;
    void finishIfDone();
    void portError(QSerialPort::SerialPortError error);
    void lose(const QString &reason);
    void goAway(const QString &reason);
    void comeBack();
    Measurement awayGap() const;
    void concludeAway();
    void shutDown();

    SessionSettings m_settings;
    SessionPort *m_port;
    QTimer *m_burstTimer;    // the window's 10 ms of silence
    QTimer *m_replyTimer;    // --timeout
    QTimer *m_intervalTimer; // --interval
    QTimer *m_durationTimer; // --duration
    QByteArray m_buffer;
    BurstCarry m_carry; // what a burst cut by its size hands on to its rest
    ReplyFrame m_frame = {};
    QElapsedTimer m_sinceWrite;
    QDateTime m_awaySince;
    QElapsedTimer m_away;
    State m_state = State::Idle;
    Measurement m_held; // while Holding
    // The pace's facts and the framing's stand beside the state, as each can hold in several of
    // its values: the interval can run out while a reply is awaited or the device is away, the
    // duration end in any state, and a burst from before the write be arriving in any.
    bool m_sendDue = false;      // the interval ran out while the next command could not go
    bool m_durationOver = false; // --duration has run out: no command goes any more
    bool m_staleBurst = false;   // the burst being collected began before the last write
    int m_sent = 0;
    int m_ignoredReplies = 0;
};

} // namespace rangefinder
