#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the event loop, through a self-pipe: the handler
// only writes the signal's number to the pipe, so no record is ever cut short by it.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False if the pipe or the handlers could not be set up.
    bool isWatching() const { return m_notifier != nullptr; }

signals:
    void caught(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
};
