#pragma once

#include "cli/accuracy.h"
#include "cli/measurementsession.h"
#include "cli/recordformat.h"
#include "cli/recordingsettings.h"
#include "cli/runchart.h"
#include "cli/runstatistics.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

// Exit codes of rangefinder-cli. With several devices the run ends with the highest of theirs.
// What each means is said once, in kExitCodeRows.
enum ExitCode {
    kExitAllMeasured = 0,
    kExitSomeFailed = 1,
    kExitBadOptions = 2,
    kExitPortUnusable = 3,
    kExitDeviceLost = 4,
    kExitOutputLost = 5,
    kExitSignalBase = 128, // plus the signal
};

// --help's table of exit codes, and with it the manual page's.
struct ExitCodeRow
{
    int code;
    const char *meaning;
};
inline constexpr ExitCodeRow kExitCodeRows[] = {
    {kExitAllMeasured, "every measurement ok; with --reference: PASS"},
    {kExitSomeFailed, "at least one measurement failed or timed out; with --reference: FAIL"},
    {kExitBadOptions, "bad options, or a --from file that cannot be read or is not a run"},
    {kExitPortUnusable, "the port cannot be opened or refuses the line settings"},
    {kExitDeviceLost,
     "the device went away while measuring (--reconnect: and was away at the end)"},
    {kExitOutputLost,
     "the records, the summary, the chart or the JUnit report could not be written"},
    {kExitSignalBase + 2, "interrupted by SIGINT (143: SIGTERM, 129: SIGHUP), after the summary"},
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
    RecordingSettings recording; // where and as what the run is kept
};

// The exit code of one device's records: 4 when the last of them is a disconnection, else 0 or 1
// by its measurements.
int exitCodeOf(const RunStatistics &statistics);

// Reads the arguments (program name first). Never exits and prints nothing.
CliOptions parseOptions(const QStringList &arguments);
