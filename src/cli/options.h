#pragma once

#include "cli/accuracy.h"
#include "cli/measurementsession.h"
#include "cli/progress.h"
#include "cli/recordformat.h"
#include "cli/recordingsettings.h"
#include "cli/runchart.h"
#include "cli/runstatistics.h"
#include "toolsupport/optionvalues.h"

#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

namespace rangefinder {

// What measure and read run with: a run's source, its records, chart and verdict.
struct CliOptions
{
    SessionSettings session; // portName: the first of ports
    QStringList ports;       // each measured by a session of its own, at the same time
    RecordFormat format = RecordFormat::Text;
    ProgressMode progress = ProgressMode::Auto; // measure: a progress line on a terminal
    QString fromPath;                           // read: the finished run's file ("-": stdin)
    QString plotPath;                           // a chart of the run
    RunChart::FileType plotType = RunChart::FileType::Png;
    QSize plotSize{1200, 600};
    int reconnectIntervalMs = 500;            // session.reconnectMs once --reconnect is given
    std::optional<AccuracySettings> accuracy; // --reference: the run is judged
    QString junitPath;
    RecordingSettings recording; // where and as what the run is kept
};

// The options of measure and of read, in the order their --help lists them, and those of the
// spellings without a command (measure's, --from and --list-ports).
const std::vector<OptionRow<CliOptions>> &measureOptionRows();
const std::vector<OptionRow<CliOptions>> &readOptionRows();
const std::vector<OptionRow<CliOptions>> &modeOptionRows();

// Some of measure's rows, by name in the order given: for a command that measures too.
std::vector<OptionRow<CliOptions>> measureRowsNamed(std::initializer_list<const char *> names);

// Read what a parser made of the rows above into options; the first problem is read.error().
void readMeasureOptions(OptionReader &read, CliOptions &options);
void readReadOptions(OptionReader &read, CliOptions &options);
void readModeOptions(OptionReader &read, CliOptions &options);
// --results, --station, --operator and --serial, as measure reads them; keptByDefault: a run
// kept without --results, in RANGEFINDER_RESULTS or the default store.
void readRecordingOptions(OptionReader &read, RecordingSettings &recording, bool keptByDefault);
// Some of measure's rows, read as measure reads them, --plot among them: for a command that
// shares them.
void readChartOptions(OptionReader &read, const std::vector<OptionRow<CliOptions>> &rows,
                      CliOptions &options);

} // namespace rangefinder
