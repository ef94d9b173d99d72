#pragma once

#include "cli/command.h"
#include "cli/options.h"

namespace rangefinder {

// measure: live measuring on one or more ports (also options without a command).
std::unique_ptr<Command> makeMeasureCommand();

// A live run with these options, from the ports' opening to the chart.
RunOutcome measure(const CliOptions &options);

} // namespace rangefinder
