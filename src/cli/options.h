#pragma once

#include "cli/accuracy.h"
#include "cli/measurementsession.h"
#include "cli/recordformat.h"
#include "cli/runchart.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

// Exit codes of rangefinder-cli. With several devices the run ends with the highest of theirs.
enum ExitCode {
    kExitAllMeasured = 0, // every measurement ok; with --reference: PASS
    kExitSomeFailed = 1,  // at least one failed or timed out; with --reference: FAIL
    kExitBadOptions = 2,
    kExitPortUnusable = 3, // cannot be opened, or refuses the line settings
    kExitDeviceLost = 4,   // the port reported the device gone while measuring, and it stayed away
    kExitOutputLost = 5,   // a record, the summary, the chart or the report could not be written
    kExitSignalBase = 128, // plus the signal: 129 for SIGHUP, 130 for SIGINT, 143 for SIGTERM
};

struct CliOptions
{
    enum class Action { Run, Help, Version, ListPorts, Error };
    Action action = Action::Error;
    QString text;            // Help and Version: what to print; Error: the one-line message
    SessionSettings session; // portName: the first of ports
    QStringList ports;       // each measured by a session of its own, at the same time
    RecordFormat format = RecordFormat::Text;
    QString fromPath; // read a finished run from this file ("-": stdin) instead of the port
    QString plotPath; // a chart of the run
    RunChart::FileType plotType = RunChart::FileType::Png;
    QSize plotSize{1200, 600};
    std::optional<AccuracySettings> accuracy; // --reference: the run is judged
    QString junitPath;
};

// The exit code of one device's records: 4 when the last of them is a disconnection, else 0 or 1
// by its measurements.
int exitCodeOf(const RunStatistics &statistics);

// Reads the arguments (program name first). Never exits and prints nothing.
CliOptions parseOptions(const QStringList &arguments);
