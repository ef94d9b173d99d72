#include "cli/runrecording.h"

#include "cli/options.h"
#include "cli/output.h"
#include "cli/recordformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QUuid>

namespace rangefinder {

namespace {

// The adapter's serial number follows the device from port to port; the port is all there is
// for a device on a plain serial line.
QString serialOf(const QString &port)
{
    const QString serial = QSerialPortInfo(port).serialNumber();
    return serial.isEmpty() ? port : serial;
}

StoredOutcome outcomeOf(const DeviceEnding &ending, int signal)
{
    if (signal != 0)
        return StoredOutcome::Aborted;
    if (ending.kind != DeviceEnding::Kind::Measured || ending.endedAway)
        return StoredOutcome::Error;
    if (!ending.passed)
        return StoredOutcome::Done;
    return *ending.passed ? StoredOutcome::Pass : StoredOutcome::Fail;
}

void addVerdict(RunRow &run, const Verdict &verdict)
{
    run.n = verdict.valid;
    if (verdict.valid > 0) {
        run.mean = verdict.mean;
        run.bias = verdict.bias;
        run.sd = verdict.sd;
    }
    if (verdict.valid > 1) {
        run.cg = verdict.cg;
        run.cgk = verdict.cgk;
    }
    run.reasons = failedCriteria(verdict.criteria);
}

} // namespace

QString failedCriteria(const QVector<Criterion> &criteria)
{
    QStringList reasons;
    for (const Criterion &criterion : criteria) {
        if (!criterion.passed())
            reasons << criterion.name + QStringLiteral(": ") + criterion.failure;
    }
    return reasons.join(QStringLiteral("; "));
}

RunRecording::RunRecording(const RecordingSettings &settings, const QString &device, bool live,
                           const QString &kind, LengthUnit unit)
    : m_settings(settings), m_recorder(settings.store, outboxPath())
{
    m_run.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_run.kind = kind;
    m_run.station = settings.station;
    m_run.operatorName = settings.operatorName;
    m_run.port = live ? device : QString();
    m_run.serial = !settings.serial.isEmpty() ? settings.serial : live ? serialOf(device) : device;
    m_run.programVersion = QCoreApplication::applicationVersion();
    m_run.unit = unitName(unit);
}

RunRecording::RunRecording(const RecordingSettings &settings, const QString &device, bool live,
                           const CliOptions &options)
    : RunRecording(settings, device, live, QLatin1String(options.accuracy ? kCheckRun : kPlainRun),
                   options.session.unit)
{
    if (options.accuracy) {
        m_run.reference = options.accuracy->reference;
        m_run.tolerance = options.accuracy->tolerance;
    }
}

bool RunRecording::begin()
{
    if (m_settings.store.kind == StoreLocation::Kind::Sqlite)
        QDir().mkpath(QFileInfo(m_settings.store.path).absolutePath());
    m_run.started = QDateTime::currentDateTimeUtc();
    m_recording = m_recorder.begin(m_run);
    if (!m_recording) {
        complain(QStringLiteral("cannot record the run in %1: %2")
                     .arg(m_settings.store.text, m_recorder.errorString()));
        m_failed = true;
    }
    return m_recording;
}

void RunRecording::add(const Measurement &measurement)
{
    if (!m_recording)
        return;
    MeasurementRow row;
    row.time = measurement.time.toUTC();
    row.status = statusName(measurement.status);
    if (measurement.status == Measurement::Status::Ok)
        row.metres = distanceMetres(measurement);
    if (hasLatency(measurement) || measurement.status == Measurement::Status::Disconnected)
        row.latencyMs = measurement.latencyMs;
    m_recorder.add(row);
}

bool RunRecording::finish(const RunStatistics &statistics, const Verdict *verdict,
                          const DeviceEnding &ending, int signal, QString &summaryLine)
{
    m_run.n = int(statistics.nanometres.size());
    if (verdict)
        addVerdict(m_run, *verdict);
    return finish(outcomeOf(ending, signal), summaryLine);
}

bool RunRecording::finish(StoredOutcome outcome, QString &summaryLine)
{
    if (!m_recording)
        return !m_failed;
    m_recording = false;
    m_run.outcome = outcome;
    const bool kept = m_recorder.finish(m_run);
    if (!m_recorder.warning().isEmpty() && !m_partOfAnother)
        complain(m_recorder.warning());
    if (!kept) {
        complain(QStringLiteral("cannot record the run in %1: %2")
                     .arg(m_settings.store.text, m_recorder.errorString()));
        return false;
    }
    const QString where =
        m_recorder.keptInOutbox()
            ? QStringLiteral("the outbox %1").arg(QDir::toNativeSeparators(outboxPath()))
        : m_settings.store.kind == StoreLocation::Kind::Sqlite
            ? QDir::toNativeSeparators(m_settings.store.path)
            : m_settings.store.text;
    summaryLine = QStringLiteral("results: run %1 kept in %2\n").arg(m_run.runId, where);
    return true;
}

} // namespace rangefinder
