#pragma once

#include "chart/chart.h"
#include "results/history.h"

#include <QSize>
#include <QString>

namespace rangefinder {

// A device's checks, one after the other: its bias and standard deviation, its tolerance band
// around a bias of 0, and the individuals chart's centre line and control limits when there are
// enough checks before the latest. Written as a run's chart is: whole, or not at all.
bool saveHistoryChart(const QString &path, ChartFileType type, const QSize &size,
                      const Drift &drift, QString *errorString);

} // namespace rangefinder
