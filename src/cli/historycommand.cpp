#include "cli/historycommand.h"

#include "cli/historychart.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/recordingsettings.h"

#include <QFileInfo>

namespace {

const std::vector<OptionRow> kHistoryRows = {
    {"results", "url",
     "The store to read: sqlite:PATH or postgresql://[user@]host[:port]/dbname (default: "
     "RANGEFINDER_RESULTS, else the SQLite file that station runs are kept in)."},
    {"serial", "serial", "Only the runs of this device."},
    {"station", "name", "Only the runs made at this station."},
    {"since", "date", "Only the runs started on or after this day or time (ISO 8601, UTC)."},
    {"format", "format", "text, csv (every column of runs) or jsonl (default %1).",
     QStringLiteral("text")},
    {"plot", "file",
     "Chart the device's checks into this file, PNG or SVG by its extension: bias and sd, "
     "the tolerance band and the control limits. One device: with several, give --serial."},
    {"plot-size", "WxH", "The chart's size in pixels (default %1).", QStringLiteral("1200x600")},
};

const QStringList kFormatNames{QStringLiteral("text"), QStringLiteral("csv"),
                               QStringLiteral("jsonl")};

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

} // namespace

QString HistoryCommand::summary() const
{
    return QStringLiteral("the runs kept in a results store, and a device drifting");
}

QString HistoryCommand::description() const
{
    return QStringLiteral(
        "The runs kept in a results store, oldest first, with their outcome, kind, n, bias,\n"
        "sd, Cg and Cgk; a linearity study is one row. For each device with checks (runs with\n"
        "--reference), one line on stderr judges its latest check: against the control limits\n"
        "of an individuals chart of the bias over the checks before it (mean +- 2.66 mean\n"
        "moving ranges, once there are 8) and against its tolerance. Exit code 1 when a\n"
        "device's latest check lies outside either, 0 when none does, 2 for bad options or a\n"
        "store that cannot be read, 5 when the output is lost.\n");
}

const std::vector<OptionRow> &HistoryCommand::optionRows() const
{
    return kHistoryRows;
}

void HistoryCommand::read(OptionReader &read)
{
    if (!read.operands().isEmpty())
        return read.fail(
            QStringLiteral("unexpected argument \"%1\"").arg(read.operands().constFirst()));
    QString error;
    if (!parseStoreLocation(read.isSet("results") ? read.text("results") : defaultStoreText(),
                            m_store, &error))
        return read.fail(QStringLiteral("--results: ") + error);
    if (m_store.kind == StoreLocation::Kind::None)
        return read.fail(QStringLiteral("history needs a store, not none"));
    m_filter.serial = read.text("serial");
    m_filter.station = read.text("station");
    m_filter.wholeRunsOnly = true; // a study is one row: the runs of its references are in it
    if (read.isSet("since")) {
        m_filter.since = sinceFrom(read.text("since"));
        if (!m_filter.since.isValid())
            return read.fail(QStringLiteral("--since takes a date or time in ISO 8601 "
                                            "(2026-12-01), not \"%1\"")
                                 .arg(read.text("since")));
    }
    QList<HistoryFormat> formats{HistoryFormat::Text, HistoryFormat::Csv, HistoryFormat::Jsonl};
    read.choice("format", kFormatNames, formats, m_format);
    readPlot(read);
}

void HistoryCommand::readPlot(OptionReader &read)
{
    if (!read.isSet("plot"))
        return;
    m_plotPath = read.text("plot");
    const std::optional<ChartFileType> type = chartFileTypeOf(m_plotPath);
    if (!type)
        return read.fail(QStringLiteral("--plot takes a file name ending in .png or .svg, not "
                                        "\"%1\"")
                             .arg(m_plotPath));
    m_plotType = *type;
    readPlotSize(read, m_plotSize);
}

// The chart of the one device with checks; false, said on stderr, when it cannot be made.
bool HistoryCommand::writePlot(const QVector<Drift> &drifts) const
{
    if (m_plotPath.isEmpty())
        return true;
    QString error;
    if (drifts.size() != 1)
        error = drifts.isEmpty() ? QStringLiteral("no device has checks to chart")
                                 : QStringLiteral("%1 devices have checks: --plot charts one, "
                                                  "name it with --serial")
                                       .arg(drifts.size());
    else if (saveHistoryChart(m_plotPath, m_plotType, m_plotSize, drifts.constFirst(), &error))
        return true;
    complain(QStringLiteral("cannot write the chart %1: %2").arg(m_plotPath, error));
    return false;
}

// A device whose latest check drifts ends like a device that failed: exit code 1.
RunOutcome HistoryCommand::run()
{
    RunOutcome outcome;
    QVector<RunRow> runs;
    if (!readRuns(m_store, m_filter, runs)) {
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
    outcome.outputLost = writeWhole(stdout, formatHistory(runs, m_format)) != Written::Whole ||
                         writeWhole(stderr, judgement) != Written::Whole || !writePlot(drifts);
    return outcome;
}
