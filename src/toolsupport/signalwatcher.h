#pragma once

#include <QObject>
#include <QString>
#include <QVector>

#include <csignal>

class QSocketNotifier;

namespace rangefinder {

// Windows has no hangup signal; its closed console is reported under the hangup's number, so
// that a run ends there with the exit code it has elsewhere.
#ifndef SIGHUP
#define SIGHUP 1
#endif

// Turns the given signals into a Qt signal on the event loop, through a self-pipe: the handler
// only writes the signal's number to the pipe, so no record is ever cut short by it. One watcher
// per program. On Windows the console's events stand for the signals: Ctrl+C for SIGINT,
// Ctrl+Break, logoff and shutdown for SIGTERM, the console's closing for SIGHUP.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    // What becomes of a system call that a caught signal interrupts.
    enum class InterruptedCalls { Fail, Restart };

    explicit SignalWatcher(const QVector<int> &signalNumbers, InterruptedCalls interrupted,
                           QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False if the pipe or the handlers could not be set up (errorString() says why); the
    // signals then keep their default action.
    bool isWatching() const { return m_watching; }
    QString errorString() const { return m_errorString; }

    // The last signal caught, 0 if none: with InterruptedCalls::Fail a write blocked on a full
    // pipe returns early when one arrives, and its writer asks here why.
    static int caughtSignal();
    // Waits until fd can be read (or is at its end, or failed). False, at once, when a watched
    // signal has been caught, also one caught before the call.
    static bool waitForInput(int fd);

signals:
    void caught(int signalNumber);

private:
    void restoreDefaults();
    void readPipe();

    QVector<int> m_signalNumbers;
    QSocketNotifier *m_notifier = nullptr;
    bool m_watching = false;
    QString m_errorString;
};

} // namespace rangefinder
