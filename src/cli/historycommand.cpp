#include "cli/historycommand.h"

#include "cli/historychart.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/recordingsettings.h"

#include <QFileInfo>

namespace rangefinder {

namespace {

using HistoryRow = OptionRow<HistorySettings>;

const std::vector<HistoryRow> kHistoryRows = {
    {"results", "url",
     "The store to read: sqlite:PATH or postgresql://[user@]host[:port]/dbname (default: "
     "RANGEFINDER_RESULTS, else the SQLite file that station runs are kept in)."},
    {"serial", "serial", "Only the runs of this device."},
    {"station", "name", "Only the runs made at this station."},
    {"since", "date", "Only the runs started on or after this day or time (ISO 8601, UTC)."},
    {"format", "format", "text, csv (every column of runs) or jsonl (default %1).",
     choice(field(&HistorySettings::format),
            {QStringLiteral("text"), QStringLiteral("csv"), QStringLiteral("jsonl")},
            {HistoryFormat::Text, HistoryFormat::Csv, HistoryFormat::Jsonl})},
    {"plot", "file",
     "Chart the device's checks into this file, PNG or SVG by its extension: bias and sd, "
     "the tolerance band and the control limits. One device: with several, give --serial."},
    {"plot-size", "WxH", "The chart's size in pixels (default %1).",
     pixelSize(field(&HistorySettings::plotSize))},
};

QDateTime sinceFrom(const QString &text)
{
    const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    if (time.isValid())
        return time;
    return QDateTime(QDate::fromString(text, Qt::ISODate), QTime(0, 0), Qt::UTC);
}

// The runs, or false with the reason said. A SQLite file that is not there yet holds none,
// and is not made by reading it.
bool readRuns(const StoreLocation &location, const RunFilter &filter, QVector<RunRow> &runs)
{
    if (location.kind == StoreLocation::Kind::Sqlite && !QFileInfo::exists(location.path))
        return true;
    SqlStore store(location);
    if (store.open() && store.runs(filter, runs))
        return true;
    complain(QStringLiteral("cannot read %1: %2").arg(location.text, store.errorString()));
    return false;
}

void readPlot(OptionReader &read, HistorySettings &settings)
{
    if (!read.isSet("plot") || !read.error().isEmpty())
        return;
    settings.plotPath = read.text("plot");
    const std::optional<ChartFileType> type = chartFileTypeOf(settings.plotPath);
    if (!type)
        return read.refuse("plot", QStringLiteral("a file name ending in .png or .svg"));
    settings.plotType = *type;
    readRow(read, kHistoryRows, "plot-size", settings);
}

void readHistory(OptionReader &read, HistorySettings &settings)
{
    read.refuseOperands();
    if (!read.error().isEmpty())
        return;
    QString error;
    if (!parseStoreLocation(read.isSet("results") ? read.text("results") : defaultStoreText(),
                            settings.store, &error))
        return read.fail(QStringLiteral("--results: ") + error);
    if (settings.store.kind == StoreLocation::Kind::None)
        return read.fail(QStringLiteral("history needs a store, not none"));
    settings.filter.serial = read.text("serial");
    settings.filter.station = read.text("station");
    // A study is one row: the runs of its references are in it.
    settings.filter.wholeRunsOnly = true;
    if (read.isSet("since")) {
        settings.filter.since = sinceFrom(read.text("since"));
        if (!settings.filter.since.isValid())
            return read.refuse("since", QStringLiteral("a date or time in ISO 8601 (2026-12-01)"));
    }
    readRow(read, kHistoryRows, "format", settings);
    readPlot(read, settings);
}

// The chart of the one device with checks; false, said on stderr, when it cannot be made.
bool writePlot(const HistorySettings &settings, const QVector<Drift> &drifts)
{
    if (settings.plotPath.isEmpty())
        return true;
    QString error;
    if (drifts.size() != 1)
        error = drifts.isEmpty() ? QStringLiteral("no device has checks to chart")
                                 : QStringLiteral("%1 devices have checks: --plot charts one, "
                                                  "name it with --serial")
                                       .arg(drifts.size());
    else if (saveHistoryChart(settings.plotPath, settings.plotType, settings.plotSize,
                              drifts.constFirst(), &error))
        return true;
    complain(QStringLiteral("cannot write the chart %1: %2").arg(settings.plotPath, error));
    return false;
}

// A device whose latest check drifts ends like a device that failed: exit code 1.
RunOutcome showHistory(const HistorySettings &settings)
{
    RunOutcome outcome;
    QVector<RunRow> runs;
    if (!readRuns(settings.store, settings.filter, runs)) {
        outcome.badOptions = true;
        return outcome;
    }
    QString judgement;
    const QVector<Drift> drifts = judgeDrift(runs);
    for (const Drift &drift : drifts) {
        judgement += drift.description() + QLatin1Char('\n');
        DeviceEnding ending;
        ending.allOk = !drift.drifting();
        outcome.devices.append(ending);
    }
    outcome.outputLost =
        writeWhole(stdout, formatHistory(runs, settings.format)) != Written::Whole ||
        writeWhole(stderr, judgement) != Written::Whole || !writePlot(settings, drifts);
    return outcome;
}

} // namespace

std::unique_ptr<Command> makeHistoryCommand()
{
    CommandText text{
        "history", QStringLiteral("the runs kept in a results store, and a device drifting"),
        QStringLiteral(
            "The runs kept in a results store, oldest first, with their outcome, kind, n, bias,\n"
            "sd, Cg and Cgk; a linearity study is one row. For each device with checks (runs with\n"
            "--reference), one line on stderr judges its latest check: against the control limits\n"
            "of an individuals chart of the bias over the checks before it (mean +- 2.66 mean\n"
            "moving ranges, once there are 8) and against its tolerance. Exit code 1 when a\n"
            "device's latest check lies outside either, 0 when none does, 2 for bad options or a\n"
            "store that cannot be read, 5 when the output is lost.\n")};
    return std::make_unique<CommandOf<HistorySettings>>(std::move(text), helpOf(kHistoryRows),
                                                        readHistory, showHistory);
}

} // namespace rangefinder
