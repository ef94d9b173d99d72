#include "results/runrecorder.h"

#include "results/outbox.h"
#include "results/schema.h"
#include "results/sqlstore.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace rangefinder {

namespace {

// At most this much of a run is at risk when the program is killed.
constexpr int kCommitIntervalMs = 1000;
// Rows waiting beyond this are committed at once, not at the next tick: a run read from a file
// comes all at once, and its rows then go to the store while the rest are still handed over.
constexpr int kRowsPerEarlyCommit = 20000;

// The thread that reads the port must never wait for a core while the recorder commits. Linux
// gives a thread's priority no meaning under the normal policy (QThread's priorities all come
// out the same there); its nice value does.
void yieldToOtherThreads()
{
#ifdef Q_OS_LINUX
    constexpr int kNice = 10;
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), kNice);
#endif
}

} // namespace

// The recorder's side in its thread: the store's connection, the outbox when it is needed.
class RecordingWorker : public QObject
{
public:
    RecordingWorker(RunRecorder *recorder, const StoreLocation &location, const QString &outbox)
        : m_recorder(recorder), m_location(location), m_outboxPath(outbox)
    {}

    bool begin(const RunRow &run);
    void commit();
    bool finish(const RunRow &run);
    QString error;
    QString warning;
    bool diverted = false;

private:
    bool startCommitting();
    bool write(const QVector<MeasurementRow> &rows);
    bool divert(const QString &reason, const QVector<MeasurementRow> &rows);
    void deliverWaiting();
    void count(const QVector<MeasurementRow> &rows);

    RunRecorder *m_recorder;
    StoreLocation m_location;
    QString m_outboxPath;
    std::unique_ptr<SqlStore> m_store;
    std::unique_ptr<Outbox> m_outbox; // once the server is out of reach
    QTimer *m_timer = nullptr;
    RunRow m_run;
    int m_valid = 0;
    bool m_failed = false;
};

bool RecordingWorker::begin(const RunRow &run)
{
    yieldToOtherThreads();
    m_run = run;
    m_run.schemaVersion = latestSchemaVersion();
    m_run.outcome = StoredOutcome::Aborted;
    m_store = std::make_unique<SqlStore>(m_location);
    if (m_store->open()) {
        if (m_location.isServer())
            deliverWaiting();
        if (m_store->write(m_run, {}))
            return startCommitting();
    }
    if (!m_location.isServer() || !divert(m_store->errorString(), {})) {
        error = error.isEmpty() ? m_store->errorString() : error;
        m_failed = true;
        return false;
    }
    return startCommitting();
}

bool RecordingWorker::startCommitting()
{
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &RecordingWorker::commit);
    m_timer->start(kCommitIntervalMs);
    return true;
}

void RecordingWorker::deliverWaiting()
{
    if (!QFileInfo::exists(m_outboxPath))
        return;
    Outbox outbox(m_outboxPath);
    if (outbox.open() && outbox.waiting(m_location.text) > 0 && outbox.deliver(*m_store) < 0)
        warning = QStringLiteral("runs waiting in the outbox %1 could not be delivered: %2")
                      .arg(m_outboxPath, outbox.errorString().isEmpty() ? m_store->errorString()
                                                                        : outbox.errorString());
}

void RecordingWorker::count(const QVector<MeasurementRow> &rows)
{
    for (const MeasurementRow &row : rows) {
        if (row.metres)
            ++m_valid;
    }
    if (!rows.isEmpty())
        m_run.ended = rows.constLast().time;
    m_run.n = m_valid;
}

void RecordingWorker::commit()
{
    QVector<MeasurementRow> rows;
    {
        QMutexLocker lock(&m_recorder->m_mutex);
        rows.swap(m_recorder->m_incoming);
    }
    if (m_failed || rows.isEmpty())
        return;
    count(rows);
    write(rows);
}

bool RecordingWorker::write(const QVector<MeasurementRow> &rows)
{
    if (m_outbox) {
        if (m_outbox->keep(m_location.text, m_run, rows))
            return true;
        error = QStringLiteral("cannot keep the run in the outbox %1: %2")
                    .arg(m_outboxPath, m_outbox->errorString());
    } else if (m_store->write(m_run, rows)) {
        return true;
    } else if (m_location.isServer() && divert(m_store->errorString(), rows)) {
        return true;
    } else if (error.isEmpty()) {
        error = m_store->errorString();
    }
    m_failed = true;
    return false;
}

// The server is out of reach: the run from here on (and the rows whose commit failed, which
// the server may or may not hold) goes to the outbox.
bool RecordingWorker::divert(const QString &reason, const QVector<MeasurementRow> &rows)
{
    m_outbox = std::make_unique<Outbox>(m_outboxPath);
    if (!m_outbox->open() || !m_outbox->keep(m_location.text, m_run, rows)) {
        error = QStringLiteral("cannot reach %1 (%2), nor keep the run in the outbox %3: %4")
                    .arg(m_location.text, reason, m_outboxPath, m_outbox->errorString());
        return false;
    }
    warning = QStringLiteral("cannot reach %1 (%2)").arg(m_location.text, reason.simplified());
    diverted = true;
    return true;
}

bool RecordingWorker::finish(const RunRow &run)
{
    if (m_timer)
        m_timer->stop();
    QVector<MeasurementRow> rows;
    {
        QMutexLocker lock(&m_recorder->m_mutex);
        rows.swap(m_recorder->m_incoming);
    }
    count(rows);
    const int valid = m_valid;
    const QDateTime ended = m_run.ended;
    m_run = run;
    m_run.schemaVersion = latestSchemaVersion();
    if (!m_run.ended.isValid())
        m_run.ended = ended;
    if (!m_run.n)
        m_run.n = valid;
    const bool written = !m_failed && write(rows);
    if (m_outbox) {
        const int waiting = m_outbox->waiting();
        warning += QStringLiteral("; the run waits in the outbox %1, with %2 in all, until the "
                                  "next run to that server or rangefinder-cli results sync")
                       .arg(m_outboxPath, waiting == 1 ? QStringLiteral("1 run")
                                                       : QStringLiteral("%1 runs").arg(waiting));
    }
    m_store.reset();
    m_outbox.reset();
    return written;
}

RunRecorder::RunRecorder(const StoreLocation &location, const QString &outboxPath, QObject *parent)
    : QObject(parent), m_thread(new QThread(this)),
      m_worker(new RecordingWorker(this, location, outboxPath))
{
    m_worker->moveToThread(m_thread);
    m_thread->start(QThread::LowPriority);
}

RunRecorder::~RunRecorder()
{
    m_thread->quit();
    m_thread->wait();
    // Its thread has ended, so nothing else can reach it; a deleteLater posted as the thread
    // finishes is not always carried out.
    delete m_worker;
}

bool RunRecorder::begin(const RunRow &run)
{
    bool begun = false;
    QMetaObject::invokeMethod(
        m_worker, [this, run] { return m_worker->begin(run); }, Qt::BlockingQueuedConnection,
        &begun);
    m_begun = begun;
    return begun;
}

void RunRecorder::add(MeasurementRow row)
{
    if (!m_begun)
        return;
    row.seq = m_next++;
    QMutexLocker lock(&m_mutex);
    m_incoming.append(row);
    if (m_incoming.size() == kRowsPerEarlyCommit) {
        RecordingWorker *worker = m_worker;
        QMetaObject::invokeMethod(
            m_worker, [worker] { worker->commit(); }, Qt::QueuedConnection);
    }
}

bool RunRecorder::finish(const RunRow &run)
{
    if (!m_begun)
        return false;
    m_begun = false;
    bool written = false;
    QMetaObject::invokeMethod(
        m_worker, [this, run] { return m_worker->finish(run); }, Qt::BlockingQueuedConnection,
        &written);
    return written;
}

// Read once the worker is idle: begin() and finish() wait for it.
QString RunRecorder::errorString() const
{
    return m_worker->error;
}

QString RunRecorder::warning() const
{
    return m_worker->warning;
}

bool RunRecorder::keptInOutbox() const
{
    return m_worker->diverted;
}

} // namespace rangefinder
