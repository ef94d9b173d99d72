#pragma once

#include "options.h"

#include <QStringList>
#include <QVector>

class RunChart;
struct RunStatistics;

// --from: reads the finished run and writes its records, summary and chart as a live run
// would. Returns the exit code.
int readBack(const CliOptions &options);

// The end of every run: the summary to stderr, then the chart that --plot asks for, if any.
// False unless both were written; why the chart was not is said on stderr. With several
// devices, one summary each, every line of it beginning with its port.
bool writeSummaryAndChart(const CliOptions &options, const RunChart &chart,
                          const QVector<RunStatistics> &statistics,
                          const QStringList &ports = QStringList());
