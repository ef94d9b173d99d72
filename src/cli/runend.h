#pragma once

#include "cli/options.h"
#include "cli/runchart.h"

#include <QString>
#include <QStringList>
#include <QVector>

class RunRecording;

// The chart for --plot: a series per device name (none: one without a name), with the
// reference and its tolerance band when the run is judged.
RunChart chartFor(const CliOptions &options, const QStringList &deviceNames = {});

// One device when its run ends: its name as the summary and the report give it, what it
// counted, and its exit code (one of options.h).
struct DeviceOutcome
{
    QString name;
    RunStatistics statistics;
    int exitCode = kExitAllMeasured;
    QString openFailure; // why it never opened; its summary is then this, said when it failed
    RunRecording *recording = nullptr; // where the run is kept, if it is
};

// The end of every run: each device's summary to stderr and, with --reference, its verdict after
// it (every line beginning with the device's name when there are several); then the chart and the
// JUnit report that the options ask for (why one was not written is said on stderr), and each
// device's run kept in the results store with its outcome. start is
// when the run began (ISO 8601). Returns the program's exit code: the highest of runExitCode and
// the devices', each device's 0 or 1 replaced by its verdict's; 5 in place of any but a signal's
// when something could not be written.
int concludeRun(const CliOptions &options, const RunChart &chart,
                const QVector<DeviceOutcome> &devices, const QString &start, int runExitCode);
