#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the event loop, through a self-pipe: the handler
// only writes the signal's number to the pipe, so no record is ever cut short by it.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False if the pipe or the handlers could not be set up (errorString() says why); the
    // signals then keep their default action.
    bool isWatching() const { return m_notifier != nullptr; }
    QString errorString() const { return m_errorString; }

    // The last signal caught, 0 if none: a write blocked on a full pipe returns early when one
    // arrives (the handlers do not restart it), and its writer asks here why.
    static int caughtSignal();

signals:
    void caught(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    QString m_errorString;
};
