#pragma once

#include "cli/command.h"
#include "cli/options.h"

namespace rangefinder {

// read FILE|-: a finished run read back, with the records, summary, chart and verdict a live run
// gives (also --from FILE without a command).
std::unique_ptr<Command> makeReadCommand();

// The run of options.fromPath read back, signals watched.
RunOutcome readRun(const CliOptions &options);

} // namespace rangefinder
