#pragma once

#include "cli/options.h"
#include "cli/runchart.h"
#include "cli/runend.h"
#include "cli/runrecording.h"

#include <QObject>
#include <QVector>

#include <map>
#include <memory>

class DeviceRun;
class SignalWatcher;
struct Measurement;

// A run on the ports of the options, all measured at the same time: their records on stdout,
// at the end each one's summary and one chart of all. Ends the event loop with the highest
// exit code of any port, or of the run itself (output lost, a signal).
class LiveRun : public QObject
{
    Q_OBJECT

public:
    LiveRun(const CliOptions &options, SignalWatcher *signalWatcher, QObject *parent = nullptr);

    // Opens the ports and, once the event loop runs, starts measuring on those that opened.
    // An exit code when none did or the header cannot be written; -1 to run the event loop.
    int begin();

private:
    bool several() const { return m_options.ports.size() > 1; }
    void watch(DeviceRun *device);
    void startRecording(const DeviceRun *device);
    RunRecording *recordingOf(const DeviceRun *device) const;
    void record(DeviceRun *device, const Measurement &measurement);
    bool writeRecords(const QString &text);
    void stopAll(int exitCode);
    void deviceEnded();
    void end(int exitCode);

    CliOptions m_options;
    QVector<DeviceRun *> m_devices; // those that opened
    QVector<DeviceOutcome> m_unopened;
    std::map<const DeviceRun *, std::unique_ptr<RunRecording>> m_recordings;
    RunChart m_chart;
    QString m_start;                   // when the devices were opened, ISO 8601
    int m_exitCode = kExitAllMeasured; // the run's, once it has ended
    bool m_stopping = false;
    bool m_ended = false;
    bool m_outputLost = false;
};
