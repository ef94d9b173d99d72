#pragma once

#include "options.h"
#include "runchart.h"

#include <QString>

struct RunStatistics;

// --from: reads the finished run and writes its records, summary and chart as a live run
// would. Returns the exit code.
int readBack(const CliOptions &options);

// The chart for --plot, with the reference and its tolerance band when the run is judged.
RunChart chartFor(const CliOptions &options);

// The end of every run: the summary to stderr and, with --reference, the verdict after it; then
// the chart and the JUnit report that the options ask for (why one was not written is said on
// stderr). exitCode is how the run ended, start when it began (ISO 8601). Returns the program's
// exit code: the verdict's in place of 0 or 1; 5 in place of any but a signal's when something
// could not be written.
int concludeRun(const CliOptions &options, const RunChart &chart, const RunStatistics &statistics,
                const QString &start, int exitCode);
