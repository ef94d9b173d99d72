#pragma once

#include "cli/exitcodes.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/runchart.h"
#include "cli/runend.h"
#include "cli/runrecording.h"

#include <QObject>
#include <QVector>

#include <map>
#include <memory>
#include <optional>

namespace rangefinder {

class DeviceRun;
class SignalWatcher;
struct Measurement;

// A run on the ports of the options, all measured at the same time: their records on stdout,
// at the end each one's summary and one chart of all. Ends the event loop once it has ended,
// with its outcome kept.
class LiveRun : public QObject
{
    Q_OBJECT

public:
    LiveRun(const CliOptions &options, SignalWatcher *signalWatcher, QObject *parent = nullptr);

    // Opens the ports and, once the event loop runs, starts measuring on those that opened.
    // The outcome when none did or the header cannot be written; nothing to run the event loop.
    std::optional<RunOutcome> begin();
    const RunOutcome &outcome() const { return m_outcome; }

private:
    bool several() const { return m_options.ports.size() > 1; }
    void watch(DeviceRun *device);
    void startRecording(const DeviceRun *device);
    RunRecording *recordingOf(const DeviceRun *device) const;
    void record(DeviceRun *device, const Measurement &measurement);
    bool writeRecords(const QString &text);
    void stopAll();
    void deviceEnded();
    void end();

    CliOptions m_options;
    QVector<DeviceRun *> m_devices; // those that opened
    QVector<DeviceOutcome> m_unopened;
    std::map<const DeviceRun *, std::unique_ptr<RunRecording>> m_recordings;
    void say(const QString &message);

    RunChart m_chart;
    std::unique_ptr<ProgressLine> m_progress; // once measuring has begun
    QString m_start;                          // when the devices were opened, ISO 8601
    RunOutcome m_outcome; // the run's, once it has ended; a signal and lost output before
    bool m_stopping = false;
    bool m_ended = false;
    bool m_outputLost = false;
};

} // namespace rangefinder
