#pragma once

#include "cli/exitcodes.h"
#include "cli/options.h"
#include "cli/runchart.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace rangefinder {

class RunRecording;

// The chart for --plot: a series per device name (none: one without a name), with the
// reference and its tolerance band when the run is judged.
RunChart chartFor(const CliOptions &options, const QStringList &deviceNames = {});

// One device when its run ends: its name as the summary and the report give it, what it
// counted, and how it ended.
struct DeviceOutcome
{
    QString name;
    RunStatistics statistics;
    DeviceEnding ending;
    QString openFailure; // why it never opened; its summary is then this, said when it failed
    RunRecording *recording = nullptr; // where the run is kept, if it is
};

// How a device ended that measured, or was read back, with these statistics.
DeviceEnding endingOf(const RunStatistics &statistics,
                      DeviceEnding::Kind kind = DeviceEnding::Kind::Measured);

// The end of every run: each device's summary to stderr and, with --reference, its verdict after
// it (every line beginning with the device's name when there are several); then the chart and the
// JUnit report that the options ask for (why one was not written is said on stderr); each
// device's run kept with its outcome where it is recorded, a run that could not be kept counting
// as output lost. start is
// when the run began (ISO 8601). Adds to outcome each device's ending with its verdict, and
// whether something could not be written. outcome.outputLost on entry says that the records were
// not all written: the JUnit report then says the run is in error, not judged.
void concludeRun(const CliOptions &options, const RunChart &chart,
                 const QVector<DeviceOutcome> &devices, const QString &start, RunOutcome &outcome);

// Why the files that the options name cannot be used together, or empty: a port given twice
// under two names, or outputs that would lose an input or each other (see output.h).
QString fileClash(const CliOptions &options);
// The outcome of a run refused for such a clash, said on stderr; nothing when there is none.
std::optional<RunOutcome> refusedForClash(const CliOptions &options);

} // namespace rangefinder
