#pragma once

#include "measurementsession.h"
#include "recordformat.h"
#include "runchart.h"

#include <QSize>
#include <QString>
#include <QStringList>

// Exit codes of rangefinder-cli.
enum ExitCode {
    kExitAllMeasured = 0, // every measurement ok
    kExitSomeFailed = 1,  // at least one failed or timed out
    kExitBadOptions = 2,
    kExitPortUnusable = 3, // cannot be opened, or refuses the line settings
    kExitDeviceLost = 4,   // the port reported the device gone while measuring
    kExitOutputLost = 5,   // a record or the summary could not be written
    kExitSignalBase = 128, // plus the signal: 129 for SIGHUP, 130 for SIGINT, 143 for SIGTERM
};

struct CliOptions
{
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    QString text; // Help and Version: what to print; Error: the one-line message
    SessionSettings session;
    RecordFormat format = RecordFormat::Text;
    QString fromPath; // read a finished run from this file ("-": stdin) instead of the port
    QString plotPath; // a chart of the run
    RunChart::FileType plotType = RunChart::FileType::Png;
    QSize plotSize{1200, 600};
};

// Reads the arguments (program name first). Never exits and prints nothing.
CliOptions parseOptions(const QStringList &arguments);
