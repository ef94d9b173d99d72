#include "cli/liverun.h"

#include "cli/devicerun.h"
#include "cli/output.h"
#include "cli/runend.h"
#include "cli/runrecording.h"
#include "toolsupport/signalwatcher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

namespace rangefinder {

namespace {

QString now()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

QStringList portsOf(const QVector<DeviceRun *> &devices)
{
    QStringList ports;
    for (const DeviceRun *device : devices)
        ports << device->port();
    return ports;
}

} // namespace

LiveRun::LiveRun(const CliOptions &options, SignalWatcher *signalWatcher, QObject *parent)
    : QObject(parent), m_options(options), m_chart(chartFor(options))
{
    connect(signalWatcher, &SignalWatcher::caught, this, [this](int signalNumber) {
        m_outcome.signal = signalNumber;
        stopAll();
    });
}

std::optional<RunOutcome> LiveRun::begin()
{
    for (const QString &port : m_options.ports) {
        SessionSettings settings = m_options.session;
        settings.portName = openableName(port);
        auto *device = new DeviceRun(settings, this);
        if (!device->open()) {
            complain(QStringLiteral("cannot open %1: %2").arg(port, device->openFailure()));
            m_unopened.append({port, RunStatistics(), device->ending(), device->openFailure()});
            continue;
        }
        m_devices.append(device);
        watch(device);
        startRecording(device);
    }
    if (m_devices.isEmpty()) {
        for (const DeviceOutcome &device : qAsConst(m_unopened))
            m_outcome.devices.append(device.ending);
        return m_outcome;
    }
    m_chart = chartFor(m_options, several() ? portsOf(m_devices) : QStringList());
    m_start = now();
    if (!writeRecords(recordHeader(m_options.format, several())))
        return m_outcome;
    const SessionSettings &session = m_options.session;
    m_progress =
        std::make_unique<ProgressLine>(m_options.progress, session.count * int(m_devices.size()),
                                       session.durationMs, session.unit);
    // From inside the event loop, so that an exit requested by the first write takes effect.
    for (DeviceRun *device : qAsConst(m_devices))
        QTimer::singleShot(0, device, &DeviceRun::start);
    return std::nullopt;
}

void LiveRun::watch(DeviceRun *device)
{
    connect(device, &DeviceRun::measured, this,
            [this, device](const Measurement &m) { record(device, m); });
    connect(device, &DeviceRun::lost, this, [this, device](const QString &reason) {
        say(QStringLiteral("the device on %1 went away: %2").arg(device->port(), reason));
    });
    connect(device, &DeviceRun::away, this, [this, device](const QString &reason) {
        say(QStringLiteral("the device on %1 went away at %2: %3; opening it again every "
                           "%4 ms")
                .arg(device->port(), now(), reason)
                .arg(m_options.session.reconnectMs));
    });
    connect(device, &DeviceRun::back, this, [this, device] {
        say(QStringLiteral("the device on %1 is back at %2").arg(device->port(), now()));
    });
    connect(device, &DeviceRun::ended, this, &LiveRun::deviceEnded);
}

void LiveRun::startRecording(const DeviceRun *device)
{
    if (m_options.recording.store.kind == StoreLocation::Kind::None)
        return;
    auto recording =
        std::make_unique<RunRecording>(m_options.recording, device->port(), true, m_options);
    recording->begin();
    m_recordings[device] = std::move(recording);
}

RunRecording *LiveRun::recordingOf(const DeviceRun *device) const
{
    const auto found = m_recordings.find(device);
    return found == m_recordings.end() ? nullptr : found->second.get();
}

void LiveRun::record(DeviceRun *device, const Measurement &measurement)
{
    if (m_ended || m_outputLost)
        return;
    const QString port = several() ? device->port() : QString();
    if (!writeRecords(formatRecord(measurement, m_options.format, m_options.session.unit, port)))
        return;
    device->count(measurement);
    if (RunRecording *recording = recordingOf(device))
        recording->add(measurement);
    m_progress->add(measurement);
    if (!m_options.plotPath.isEmpty())
        m_chart.add(measurement, int(m_devices.indexOf(device)));
}

// Records that cannot be written end the run: measuring on would only lose more.
bool LiveRun::writeRecords(const QString &text)
{
    QString error;
    const Written written = writeWhole(stdout, text, &error);
    if (written == Written::Whole || m_outputLost)
        return written == Written::Whole;
    m_outputLost = true;
    if (written == Written::Interrupted) {
        m_outcome.signal = SignalWatcher::caughtSignal();
    } else {
        say(QStringLiteral("cannot write the records: %1").arg(error));
        m_outcome.outputLost = true;
    }
    stopAll();
    return false;
}

void LiveRun::stopAll()
{
    // Each device's end would end the run before the others had theirs.
    m_stopping = true;
    for (DeviceRun *device : qAsConst(m_devices))
        device->stop();
    end();
}

void LiveRun::deviceEnded()
{
    if (m_stopping)
        return;
    for (const DeviceRun *device : qAsConst(m_devices)) {
        if (!device->hasEnded())
            return;
    }
    end();
}

// A line on stderr in the middle of a run takes the progress line's place; the next
// measurement draws it again under it.
void LiveRun::say(const QString &message)
{
    if (m_progress)
        m_progress->erase();
    complain(message);
}

void LiveRun::end()
{
    if (m_ended)
        return;
    m_ended = true;
    QVector<DeviceOutcome> devices;
    for (const DeviceRun *device : qAsConst(m_devices))
        devices.append({device->port(), device->statistics(), device->ending(), QString(),
                        recordingOf(device)});
    // The ports that never opened count among the devices.
    devices += m_unopened;
    if (m_progress)
        m_progress->erase();
    concludeRun(m_options, m_chart, devices, m_start, m_outcome);
    QCoreApplication::exit();
}

} // namespace rangefinder
