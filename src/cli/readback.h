#pragma once

#include "cli/options.h"

// --from: reads the finished run and writes its records, summary and chart as a live run
// would. Returns the exit code.
int readBack(const CliOptions &options);
