#include "cli/options.h"

#include "cli/runchart.h"
#include "core/linesettings.h"
#include "core/replyframe.h"
#include "toolsupport/optionvalues.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace rangefinder {

namespace {

using Row = OptionRow<CliOptions>;

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QStringList baudNames()
{
    QStringList names;
    for (const qint32 rate : kBaudRates)
        names << QString::number(rate);
    return names;
}

QList<qint32> baudValues()
{
    QList<qint32> rates;
    for (const qint32 rate : kBaudRates)
        rates << rate;
    return rates;
}

QStringList unitNames()
{
    QStringList names;
    for (const LengthUnitRow &row : kLengthUnits)
        names << QLatin1String(row.name);
    return names;
}

QList<LengthUnit> unitValues()
{
    QList<LengthUnit> units;
    for (const LengthUnitRow &row : kLengthUnits)
        units << row.unit;
    return units;
}

QList<RecordFormat> formatValues()
{
    QList<RecordFormat> formats;
    for (const QString &name : formatNames())
        formats << *formatFromName(name);
    return formats;
}

template <typename T> Field<CliOptions, T> inSession(T SessionSettings::*member)
{
    return field(&CliOptions::session, member);
}

// The verdict's settings, there once one of them is given.
template <typename T> Field<CliOptions, T> judged(T AccuracySettings::*member)
{
    return [member](CliOptions &options) -> T & {
        if (!options.accuracy)
            options.accuracy.emplace();
        return *options.accuracy.*member;
    };
}

// The port, its line and its commands: measure's, and what a run read back has none of.
const std::vector<Row> kLineRows = {
    {"port", "name-or-path",
     "Serial port, a name (ttyUSB0, COM3) or a path (/dev/ttyUSB0). Required. Given more "
     "than once, every port is measured at the same time with the same options; each "
     "record then carries its port, and each port has its own summary."},
    {"baud", "rate", choiceText(baudNames()) + QStringLiteral(" (default %1)."),
     choice(inSession(&SessionSettings::baudRate), baudNames(), baudValues())},
    {"count", "n", "Number of measurements; 0 measures until interrupted (default %1).",
     wholeNumber(inSession(&SessionSettings::count), 0)},
    {"duration", "seconds",
     "Write commands for this long instead of counting them; the run ends then, or once the "
     "last reply is in. Not with --count.",
     seconds(inSession(&SessionSettings::durationMs))},
    {"interval", "ms", "From one command's write to the next, a whole number from 1 (default %1).",
     milliseconds(inSession(&SessionSettings::intervalMs), 1)},
    // A reply is complete only after its silence, so a shorter wait could never see one.
    {"timeout", "ms",
     QStringLiteral("How long to wait for a reply after the write, more than ") +
         QString::number(kBurstSilenceMs) + QStringLiteral(" (default %1)."),
     milliseconds(inSession(&SessionSettings::timeoutMs), kBurstSilenceMs + 1)},
    {"reconnect", nullptr,
     "When the device goes away, close the port, say so on stderr, and open the same path "
     "again every --reconnect-interval until it opens or the run is over, then measure on. "
     "The gap is a record of its own, status disconnected, at the time the device went, "
     "with how long it stayed away in latency_ms. Give a path under /dev/serial/by-id/: a "
     "USB adapter plugged in again may come back as another ttyUSB."},
    {"reconnect-interval", "ms",
     "With --reconnect: how often to try to open the port again (default %1).",
     milliseconds(field(&CliOptions::reconnectIntervalMs), 1)},
    {"progress", "when",
     "A line on stderr, rewritten as the run goes and erased before the summary: done of the "
     "total (or time of --duration), rate, last value, failures, time left. auto: when stderr "
     "is a terminal; always; never (default %1).",
     choice(field(&CliOptions::progress),
            {QStringLiteral("auto"), QStringLiteral("always"), QStringLiteral("never")},
            {ProgressMode::Auto, ProgressMode::Always, ProgressMode::Never})},
};

// How replies are judged; a run read back keeps the statuses it was written with.
const std::vector<Row> kReplyRows = {
    {"strict", nullptr,
     "A reply whose check byte is wrong or missing is a failed measurement, with status "
     "rejected.",
     flag(inSession(&SessionSettings::strict))},
};

// The records and the chart, of a live run and of one read back alike.
const std::vector<Row> kOutputRows = {
    {"unit", "unit",
     QStringLiteral("Unit of the value: ") + choiceText(unitNames()) +
         QStringLiteral(" (default %1)."),
     choice(inSession(&SessionSettings::unit), unitNames(), unitValues())},
    {"format", "format",
     QStringLiteral("Records as ") + choiceText(formatNames(true)) +
         QStringLiteral(" (default %1)."),
     choice(field(&CliOptions::format), formatNames(), formatValues())},
    {"plot", "file",
     "After the run, write a chart of it to this file: PNG or SVG, by the extension .png or "
     ".svg, or as --plot-format says. The file that stdout or stderr writes to gets it after "
     "the records; the file read or the --junit file may not be it."},
    {"plot-format", "format", "png or svg, for a --plot file without either extension."},
    {"plot-size", "WxH", "The chart's size in pixels (default %1).",
     pixelSize(field(&CliOptions::plotSize))},
};

// The test station's verdict.
const std::vector<Row> kJudgeRows = {
    {"reference", "distance",
     "Judge the run against a target at this distance, in --unit. Needs --tolerance. The "
     "chart then shows it with its tolerance band.",
     aboveZero(judged(&AccuracySettings::reference), 1e6,
               QStringLiteral("a distance above 0 in the unit of --unit"))},
    {"tolerance", "distance", "How far a reading may lie from --reference (T), in --unit.",
     aboveZero(judged(&AccuracySettings::tolerance), 1e6,
               QStringLiteral("a distance above 0 in the unit of --unit"))},
    {"min-cg", "index", "The least Cg that passes (default %1).",
     number(judged(&AccuracySettings::minimumCg), 0, 1000)},
    {"min-cgk", "index", "The least Cgk that passes (default %1).",
     number(judged(&AccuracySettings::minimumCgk), 0, 1000)},
    {"allowed-failures", "n",
     "Failed, rejected and timed-out measurements that still pass (default %1).",
     wholeNumber(judged(&AccuracySettings::allowedFailures), 0)},
    {"allowed-disconnections", "n",
     "Times the device may go away (with --reconnect) and still pass (default %1).",
     wholeNumber(judged(&AccuracySettings::allowedDisconnections), 0)},
    {"junit", "file",
     "With --reference, write the verdict to this file as a JUnit XML report: a testsuite "
     "named after the port, a testcase per criterion; in error, not judged, when the records "
     "could not all be written.",
     path(field(&CliOptions::junitPath), QStringLiteral("a file name"))},
};

// Where the run is kept and as what.
const std::vector<Row> kResultsRows = {
    {"results", "url",
     "Keep the run in a results store: sqlite:PATH, postgresql://[user@]host[:port]/dbname "
     "(?host=DIR for a Unix socket; a password goes in PGPASSWORD or ~/.pgpass, never here), "
     "or none. Live runs with --reference are kept without it, in RANGEFINDER_RESULTS or else "
     "in $XDG_DATA_HOME/rangefinder-assistant/results.sqlite; other runs only when it is given."},
    {"station", "name", "The station the run is recorded as made at (default: the host name)."},
    {"operator", "name", "Who the run is recorded as made by (default: the login name)."},
    {"serial", "serial",
     "The device the run is recorded for (default: the USB adapter's serial number where the "
     "system reports one, else the port; of a run read back, the file's name)."},
};

// The spellings from before the commands: modes chosen by an option.
const std::vector<Row> kModeRows = {
    {"from", "file", "Read a finished run from this file (- for stdin): the command read."},
    {"list-ports", nullptr, "List the serial ports: the command ports."},
};

std::vector<Row> joined(std::initializer_list<const std::vector<Row> *> groups)
{
    std::vector<Row> rows;
    for (const std::vector<Row> *group : groups)
        rows.insert(rows.end(), group->begin(), group->end());
    return rows;
}

// Everything after the command's name is an option: a word of its own is a mistake.
void readNoOperand(OptionReader &read, CliOptions &)
{
    read.refuseOperands();
}

// The ports to measure.
void readPorts(OptionReader &read, CliOptions &options)
{
    if (!read.isSet("port"))
        return read.fail(QStringLiteral("--port is required"));
    options.ports = read.texts("port");
    for (int i = 0; i < options.ports.size(); ++i) {
        if (options.ports.at(i).isEmpty())
            return read.fail(QStringLiteral("--port is required"));
        if (options.ports.indexOf(options.ports.at(i)) < i)
            return read.fail(QStringLiteral("--port %1 is given twice").arg(options.ports.at(i)));
        // Records carry the port as a field of their own.
        static const QRegularExpression separator(QStringLiteral("[,\\s]"));
        if (options.ports.size() > 1 && options.ports.at(i).contains(separator))
            return read.fail(QStringLiteral("--port %1: with several ports, a name without "
                                            "commas or spaces")
                                 .arg(quoted(options.ports.at(i))));
    }
    options.session.portName = options.ports.value(0);
}

// read's one operand: the file, or - for stdin.
void readRunFile(OptionReader &read, CliOptions &options)
{
    read.refuseOperands(1);
    options.fromPath = read.operands().value(0);
    if (options.fromPath.isEmpty())
        read.fail(QStringLiteral("read takes a file name, or - for stdin"));
}

// Without a command: --from FILE, whose run has no port nor line, or the ports to measure.
void readSource(OptionReader &read, CliOptions &options)
{
    if (!read.isSet("from"))
        return readPorts(read, options);
    if (read.text("from").isEmpty())
        return read.fail(QStringLiteral("--from takes a file name, or - for stdin"));
    options.fromPath = read.text("from");
    for (const Row &live : kLineRows) {
        if (read.isSet(live.name))
            return read.fail(
                QStringLiteral("--%1 cannot be used with --from").arg(QLatin1String(live.name)));
    }
}

// The line's options that exclude or need each other.
void readLineRules(OptionReader &read, CliOptions &)
{
    if (read.isSet("count") && read.isSet("duration"))
        return read.fail(QStringLiteral("--count and --duration cannot be used together"));
    if (read.isSet("reconnect-interval") && !read.isSet("reconnect"))
        return read.fail(QStringLiteral("--reconnect-interval needs --reconnect"));
}

void readChartRules(OptionReader &read, CliOptions &)
{
    if (!read.isSet("plot") && (read.isSet("plot-size") || read.isSet("plot-format")))
        read.fail(QStringLiteral("--plot-size and --plot-format need --plot"));
}

// The verdict's options need --reference, which needs --tolerance.
void readJudgeRules(OptionReader &read, CliOptions &)
{
    if (!read.isSet("reference")) {
        for (const Row &row : kJudgeRows) {
            if (read.isSet(row.name))
                return read.fail(
                    QStringLiteral("--%1 needs --reference").arg(QLatin1String(row.name)));
        }
    } else if (!read.isSet("tolerance")) {
        read.fail(QStringLiteral("--reference needs --tolerance"));
    }
}

// The chart's file type, by --plot-format or by the file's extension.
void readPlot(OptionReader &read, CliOptions &options)
{
    if (!read.isSet("plot"))
        return;
    options.plotPath = read.text("plot");
    const std::optional<RunChart::FileType> type =
        read.isSet("plot-format") ? RunChart::fileTypeNamed(read.text("plot-format"))
                                  : RunChart::fileTypeOf(options.plotPath);
    if (!type)
        return read.isSet("plot-format")
                   ? read.refuse("plot-format", QStringLiteral("png or svg"))
                   : read.refuse("plot", QStringLiteral("a file name ending in .png or .svg, or "
                                                        "--plot-format"));
    options.plotType = *type;
}

// The verdict's distances are in the records' unit.
void readJudgeUnit(OptionReader &, CliOptions &options)
{
    if (options.accuracy)
        options.accuracy->unit = options.session.unit;
}

void readReconnect(OptionReader &read, CliOptions &options)
{
    options.session.reconnectMs = read.isSet("reconnect") ? options.reconnectIntervalMs : 0;
}

QString loginName()
{
    for (const char *name : {"USER", "LOGNAME", "USERNAME"}) {
        const QString login = qEnvironmentVariable(name);
        if (!login.isEmpty())
            return login;
    }
#ifdef Q_OS_UNIX
    if (const passwd *entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
#endif
    return QStringLiteral("unknown");
}

// Where the run is kept: a live run with a verdict by default, anything else only when asked.
// A run read back may have been kept when it was measured.
void readResults(OptionReader &read, CliOptions &options)
{
    readRecordingOptions(read, options.recording,
                         options.fromPath.isEmpty() && options.accuracy.has_value());
    if (read.error().isEmpty() && read.isSet("serial") && options.ports.size() > 1)
        return read.fail(QStringLiteral("--serial names one device: with several ports each is "
                                        "recorded by its adapter's serial number"));
}

using Section = void (*)(OptionReader &, CliOptions &);

// In this order: the first problem is the one reported.
void readSections(OptionReader &read, CliOptions &options, std::initializer_list<Section> sections)
{
    for (const Section section : sections) {
        section(read, options);
        if (!read.error().isEmpty())
            return;
    }
}

void readMeasureRows(OptionReader &read, CliOptions &options)
{
    readRows(read, measureOptionRows(), options);
}

void readReadRows(OptionReader &read, CliOptions &options)
{
    readRows(read, readOptionRows(), options);
}

} // namespace

const std::vector<Row> &measureOptionRows()
{
    static const std::vector<Row> rows =
        joined({&kLineRows, &kReplyRows, &kOutputRows, &kJudgeRows, &kResultsRows});
    return rows;
}

const std::vector<Row> &readOptionRows()
{
    static const std::vector<Row> rows = joined({&kOutputRows, &kJudgeRows, &kResultsRows});
    return rows;
}

const std::vector<Row> &modeOptionRows()
{
    static const std::vector<Row> rows =
        joined({&kLineRows, &kReplyRows, &kOutputRows, &kJudgeRows, &kResultsRows, &kModeRows});
    return rows;
}

std::vector<Row> measureRowsNamed(std::initializer_list<const char *> names)
{
    std::vector<Row> rows;
    for (const char *name : names) {
        for (const Row &row : measureOptionRows()) {
            if (qstrcmp(row.name, name) == 0)
                rows.push_back(row);
        }
    }
    return rows;
}

void readRecordingOptions(OptionReader &read, RecordingSettings &recording, bool keptByDefault)
{
    QString text = QStringLiteral("none");
    if (read.isSet("results"))
        text = read.text("results");
    else if (keptByDefault)
        text = defaultStoreText();
    QString error;
    if (!parseStoreLocation(text, recording.store, &error))
        return read.fail((read.isSet("results") ? QStringLiteral("--results: ")
                                                : QStringLiteral("RANGEFINDER_RESULTS: ")) +
                         error);
    recording.station = read.isSet("station") ? read.text("station") : QSysInfo::machineHostName();
    recording.operatorName = read.isSet("operator") ? read.text("operator") : loginName();
    recording.serial = read.text("serial");
}

void readChartOptions(OptionReader &read, const std::vector<Row> &rows, CliOptions &options)
{
    readChartRules(read, options);
    readRows(read, rows, options);
    if (read.error().isEmpty())
        readPlot(read, options);
}

void readMeasureOptions(OptionReader &read, CliOptions &options)
{
    readSections(read, options,
                 {readNoOperand, readPorts, readLineRules, readChartRules, readJudgeRules,
                  readMeasureRows, readPlot, readJudgeUnit, readReconnect, readResults});
}

void readReadOptions(OptionReader &read, CliOptions &options)
{
    readSections(read, options,
                 {readRunFile, readChartRules, readJudgeRules, readReadRows, readPlot,
                  readJudgeUnit, readResults});
}

void readModeOptions(OptionReader &read, CliOptions &options)
{
    // The line's rows are read only without --from, which refuses them.
    readSections(read, options,
                 {readNoOperand, readSource, readLineRules, readChartRules, readJudgeRules,
                  readMeasureRows, readPlot, readJudgeUnit, readReconnect, readResults});
}

} // namespace rangefinder
