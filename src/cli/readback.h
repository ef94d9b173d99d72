#pragma once

#include "cli/exitcodes.h"
#include "cli/options.h"

namespace rangefinder {

// Reads the finished run that options.fromPath names and writes its records, summary and
// chart as a live run would.
RunOutcome readBack(const CliOptions &options);

} // namespace rangefinder
