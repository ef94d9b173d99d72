#pragma once

#include "results/runrow.h"
#include "results/storelocation.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

class QThread;

namespace rangefinder {

class RecordingWorker;

// Keeps one run in a results store while it goes on. The run's row is written first, as
// ABORTED, then the measurements as they come, committed once a second on a thread of their
// own so that the run never waits for the disk or the server; the outcome is set at the end.
// A PostgreSQL server out of reach, at the start or on the way, sends the run to the outbox,
// and the next run to that server delivers what waits there.
class RunRecorder : public QObject
{
    Q_OBJECT

public:
    RunRecorder(const StoreLocation &location, const QString &outboxPath,
                QObject *parent = nullptr);
    ~RunRecorder() override;

    // False when nothing can keep the run (errorString() says why); the run may go on.
    bool begin(const RunRow &run);
    // Thread-safe and cheap: the row waits for the next commit. Its seq is set here.
    void add(MeasurementRow row);
    // Writes what is left with the run's outcome and figures, and stops. False when the run
    // could not be kept whole (errorString()).
    bool finish(const RunRow &run);

    QString errorString() const;
    // One line when the run went to the outbox: which outbox, and how many runs wait there.
    QString warning() const;
    bool keptInOutbox() const;

private:
    QThread *m_thread;
    RecordingWorker *m_worker; // lives in m_thread
    QMutex m_mutex;
    QVector<MeasurementRow> m_incoming; // guarded by m_mutex
    int m_next = 0;
    bool m_begun = false;

    friend class RecordingWorker;
};

} // namespace rangefinder
