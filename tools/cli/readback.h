#pragma once

#include "options.h"

class RunChart;
struct RunStatistics;

// --from: reads the finished run and writes its records, summary and chart as a live run
// would. Returns the exit code.
int readBack(const CliOptions &options);

// Writes the chart that --plot asks for, if any; says why on stderr and returns false when it
// cannot.
bool writeChart(const CliOptions &options, const RunChart &chart, const RunStatistics &statistics);
