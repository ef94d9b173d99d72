#pragma once

#include "cli/accuracy.h"
#include "cli/exitcodes.h"
#include "cli/measurement.h"
#include "cli/recordingsettings.h"
#include "results/runrecorder.h"
#include "results/runrow.h"

#include <QString>
#include <QVector>

namespace rangefinder {

struct CliOptions;

// The criteria that failed, as a run's reasons keep them.
QString failedCriteria(const QVector<Criterion> &criteria);

// One device's run kept in the results store: its row written when it begins, its
// measurements as they come, its outcome and figures at the end.
class RunRecording
{
public:
    // device: the port measured, or the file a run is read from.
    RunRecording(const RecordingSettings &settings, const QString &device, bool live,
                 const CliOptions &options);
    // A run of another kind, whose figures its maker sets in row().
    RunRecording(const RecordingSettings &settings, const QString &device, bool live,
                 const QString &kind, LengthUnit unit);

    RunRow &row() { return m_run; }
    // Part of a run that says for it where the outbox is and how many runs wait there.
    void setPartOf(const QString &runId)
    {
        m_run.parentRunId = runId;
        m_partOfAnother = true;
    }

    // Says on stderr why the store cannot keep the run; the run goes on without it.
    bool begin();
    void add(const Measurement &measurement);
    // How the device ended and the signal that ended the run (0 for none) make the outcome.
    // The line for the summary (where the run was kept), or a complaint on stderr and false
    // when it could not be kept.
    bool finish(const RunStatistics &statistics, const Verdict *verdict, const DeviceEnding &ending,
                int signal, QString &summaryLine);
    // With the outcome given and the figures as row() has them.
    bool finish(StoredOutcome outcome, QString &summaryLine);

private:
    RecordingSettings m_settings;
    RunRecorder m_recorder;
    RunRow m_run;
    bool m_recording = false;
    bool m_failed = false;
    bool m_partOfAnother = false;
};

} // namespace rangefinder
