#pragma once

#include "chart/chart.h"
#include "cli/command.h"
#include "results/history.h"
#include "results/sqlstore.h"
#include "results/storelocation.h"

namespace rangefinder {

// What history reads, and how it shows it.
struct HistorySettings
{
    StoreLocation store;
    RunFilter filter;
    HistoryFormat format = HistoryFormat::Text;
    QString plotPath; // a chart of the one device's checks
    ChartFileType plotType = ChartFileType::Png;
    QSize plotSize{1200, 600};
};

// history: the runs kept in a results store, and whether a device's latest check drifts.
std::unique_ptr<Command> makeHistoryCommand();

} // namespace rangefinder
