#include "cli/options.h"

#include "cli/runchart.h"
#include "core/awaitedreplies.h"
#include "core/interval.h"
#include "core/linesettings.h"
#include "core/replyframe.h"
#include "toolsupport/optionvalues.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>
#include <limits>
#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString baudChoices()
{
    QStringList names;
    for (const qint32 rate : kBaudRates)
        names << QString::number(rate);
    return choiceText(names);
}

QString unitChoices()
{
    QStringList names;
    for (const LengthUnitRow &row : kLengthUnits)
        names << QLatin1String(row.name);
    return choiceText(names);
}

// The port, its line and its commands: measure's, and what a run read back has none of.
const std::vector<OptionRow> kLineRows = {
    {"port", "name-or-path",
     "Serial port, a name (ttyUSB0, COM3) or a path (/dev/ttyUSB0). Required. Given more "
     "than once, every port is measured at the same time with the same options; each "
     "record then carries its port, and each port has its own summary."},
    {"baud", "rate", baudChoices() + QStringLiteral(" (default %1)."), QStringLiteral("9600")},
    {"count", "n", "Number of measurements; 0 measures until interrupted (default 1)."},
    {"duration", "seconds",
     "Write commands for this long instead of counting them; the run ends then, or once the "
     "last reply is in. Not with --count."},
    {"interval", "ms", "From one command's write to the next, a whole number from 1 (default %1).",
     QStringLiteral("1000")},
    {"timeout", "ms",
     QStringLiteral("How long to wait for a reply after the write, more than ") +
         QString::number(kBurstSilenceMs) + QStringLiteral(" (default %1)."),
     QString::number(kReplyTimeoutMs)},
    {"reconnect", nullptr,
     "When the device goes away, close the port, say so on stderr, and open the same path "
     "again every --reconnect-interval until it opens or the run is over, then measure on. "
     "The gap is a record of its own, status disconnected, at the time the device went, "
     "with how long it stayed away in latency_ms. Give a path under /dev/serial/by-id/: a "
     "USB adapter plugged in again may come back as another ttyUSB."},
    {"reconnect-interval", "ms",
     "With --reconnect: how often to try to open the port again (default %1).",
     QStringLiteral("500")},
    {"progress", "when",
     "A line on stderr, rewritten as the run goes and erased before the summary: done of the "
     "total (or time of --duration), rate, last value, failures, time left. auto: when stderr "
     "is a terminal; always; never (default %1).",
     QStringLiteral("auto")},
};

// How replies are judged; a run read back keeps the statuses it was written with.
const std::vector<OptionRow> kReplyRows = {
    {"strict", nullptr,
     "A reply whose check byte is wrong or missing is a failed measurement, with status "
     "rejected."},
};

// The records and the chart, of a live run and of one read back alike.
const std::vector<OptionRow> kOutputRows = {
    {"unit", "unit",
     QStringLiteral("Unit of the value: ") + unitChoices() + QStringLiteral(" (default %1)."),
     QStringLiteral("m")},
    {"format", "format",
     QStringLiteral("Records as ") + choiceText(formatNames(true)) +
         QStringLiteral(" (default %1)."),
     QStringLiteral("text")},
    {"plot", "file",
     "After the run, write a chart of it to this file: PNG or SVG, by the extension .png or "
     ".svg, or as --plot-format says. The file that stdout or stderr writes to gets it after "
     "the records; the file read or the --junit file may not be it."},
    {"plot-format", "format", "png or svg, for a --plot file without either extension."},
    {"plot-size", "WxH", "The chart's size in pixels (default %1).", QStringLiteral("1200x600")},
};

// The test station's verdict.
const std::vector<OptionRow> kJudgeRows = {
    {"reference", "distance",
     "Judge the run against a target at this distance, in --unit. Needs --tolerance. The "
     "chart then shows it with its tolerance band."},
    {"tolerance", "distance", "How far a reading may lie from --reference (T), in --unit."},
    {"min-cg", "index", "The least Cg that passes (default %1).", QStringLiteral("1.33")},
    {"min-cgk", "index", "The least Cgk that passes (default %1).", QStringLiteral("1.33")},
    {"allowed-failures", "n",
     "Failed, rejected and timed-out measurements that still pass (default %1).",
     QStringLiteral("0")},
    {"allowed-disconnections", "n",
     "Times the device may go away (with --reconnect) and still pass (default %1).",
     QStringLiteral("0")},
    {"junit", "file",
     "With --reference, write the verdict to this file as a JUnit XML report: a testsuite "
     "named after the port, a testcase per criterion; in error, not judged, when the records "
     "could not all be written."},
};

// Where the run is kept and as what.
const std::vector<OptionRow> kResultsRows = {
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
const std::vector<OptionRow> kModeRows = {
    {"from", "file", "Read a finished run from this file (- for stdin): the command read."},
    {"list-ports", nullptr, "List the serial ports: the command ports."},
};

std::vector<OptionRow> joined(std::initializer_list<const std::vector<OptionRow> *> groups)
{
    std::vector<OptionRow> rows;
    for (const std::vector<OptionRow> *group : groups)
        rows.insert(rows.end(), group->begin(), group->end());
    return rows;
}

QString optionNeedingReference(const OptionReader &read)
{
    for (const char *name : {"tolerance", "min-cg", "min-cgk", "allowed-failures",
                             "allowed-disconnections", "junit"}) {
        if (read.isSet(name))
            return QStringLiteral("--%1 needs --reference").arg(QLatin1String(name));
    }
    return QString();
}

// The accuracy check's numbers, in the unit of --unit.
void readAccuracyNumbers(OptionReader &read, AccuracySettings &a)
{
    const double smallest = std::numeric_limits<double>::min();
    const struct
    {
        const char *name;
        double low, high;
        const char *what;
        double *target;
    } numbers[] = {
        {"reference", smallest, 1e6, "a distance above 0 in the unit of --unit", &a.reference},
        {"tolerance", smallest, 1e6, "a distance above 0 in the unit of --unit", &a.tolerance},
        {"min-cg", 0, 1000, "a number from 0 to 1000", &a.minimumCg},
        {"min-cgk", 0, 1000, "a number from 0 to 1000", &a.minimumCgk},
    };
    for (const auto &row : numbers) {
        const std::optional<double> number = numberIn(read.text(row.name), row.low, row.high);
        if (!number)
            return read.fail(QStringLiteral("--%1 takes %2, not %3")
                                 .arg(QLatin1String(row.name), QLatin1String(row.what),
                                      quoted(read.text(row.name))));
        *row.target = *number;
    }
    for (const auto &[name, target] :
         {std::pair<const char *, int *>{"allowed-failures", &a.allowedFailures},
          {"allowed-disconnections", &a.allowedDisconnections}}) {
        const std::optional<qint64> allowed = wholeNumberIn(read.text(name), 0, INT_MAX);
        if (!allowed)
            return read.fail(QStringLiteral("--%1 takes a whole number from 0, not %2")
                                 .arg(QLatin1String(name), quoted(read.text(name))));
        *target = int(*allowed);
    }
}

// --reference and the options that go with it, after --unit.
void readAccuracy(OptionReader &read, CliOptions &options)
{
    if (!read.isSet("reference"))
        return read.fail(optionNeedingReference(read));
    if (!read.isSet("tolerance"))
        return read.fail(QStringLiteral("--reference needs --tolerance"));
    AccuracySettings a;
    a.unit = options.session.unit;
    readAccuracyNumbers(read, a);
    if (!read.error().isEmpty())
        return;
    if (read.isSet("junit") && read.text("junit").isEmpty())
        return read.fail(QStringLiteral("--junit takes a file name"));
    options.accuracy = a;
    options.junitPath = read.text("junit");
}

// Everything after the command's name is an option: a word of its own is a mistake.
void readNoOperand(OptionReader &read, CliOptions &)
{
    if (!read.operands().isEmpty())
        read.fail(QStringLiteral("unexpected argument %1").arg(quoted(read.operands().first())));
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
    const QStringList operands = read.operands();
    if (operands.size() > 1)
        return read.fail(QStringLiteral("unexpected argument %1").arg(quoted(operands.at(1))));
    if (operands.value(0).isEmpty())
        return read.fail(QStringLiteral("read takes a file name, or - for stdin"));
    options.fromPath = operands.first();
}

// Without a command: --from FILE, whose run has no port nor line, or the ports to measure.
void readSource(OptionReader &read, CliOptions &options)
{
    if (!read.isSet("from"))
        return readPorts(read, options);
    if (read.text("from").isEmpty())
        return read.fail(QStringLiteral("--from takes a file name, or - for stdin"));
    options.fromPath = read.text("from");
    for (const OptionRow &live : kLineRows) {
        if (read.isSet(live.name))
            return read.fail(
                QStringLiteral("--%1 cannot be used with --from").arg(QLatin1String(live.name)));
    }
}

} // namespace

void readPlotSize(OptionReader &read, QSize &size)
{
    const QStringList sides = read.text("plot-size").split(QLatin1Char('x'));
    const std::optional<qint64> width = wholeNumberIn(sides.value(0), 300, 10000);
    const std::optional<qint64> height = wholeNumberIn(sides.value(1), 200, 10000);
    if (sides.size() != 2 || !width || !height)
        return read.fail(QStringLiteral("--plot-size takes WxH in pixels, from 300x200 to "
                                        "10000x10000, not %1")
                             .arg(quoted(read.text("plot-size"))));
    size = QSize(int(*width), int(*height));
}

namespace {

void readPlot(OptionReader &read, CliOptions &options)
{
    if (read.isSet("plot")) {
        options.plotPath = read.text("plot");
        const std::optional<RunChart::FileType> type =
            read.isSet("plot-format") ? RunChart::fileTypeNamed(read.text("plot-format"))
                                      : RunChart::fileTypeOf(options.plotPath);
        if (!type)
            return read.fail(read.isSet("plot-format")
                                 ? QStringLiteral("--plot-format takes png or svg, not %1")
                                       .arg(quoted(read.text("plot-format")))
                                 : QStringLiteral("--plot takes a file name ending in .png or "
                                                  ".svg, or --plot-format, not %1")
                                       .arg(quoted(options.plotPath)));
        options.plotType = *type;
    } else if (read.isSet("plot-size") || read.isSet("plot-format")) {
        return read.fail(QStringLiteral("--plot-size and --plot-format need --plot"));
    }
    readPlotSize(read, options.plotSize);
}

void readBaud(OptionReader &read, CliOptions &options)
{
    const QString rate = read.text("baud");
    const auto *known = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                     [&](qint32 each) { return rate == QString::number(each); });
    if (known == std::end(kBaudRates))
        return read.fail(
            QStringLiteral("--baud takes %1, not %2").arg(baudChoices(), quoted(rate)));
    options.session.baudRate = *known;
}

// --count or --duration: how long the run goes on.
void readLength(OptionReader &read, CliOptions &options)
{
    if (read.isSet("count") && read.isSet("duration"))
        return read.fail(QStringLiteral("--count and --duration cannot be used together"));
    if (read.isSet("count")) {
        const std::optional<qint64> count = wholeNumberIn(read.text("count"), 0, INT_MAX);
        if (!count)
            return read.fail(QStringLiteral("--count takes a whole number from 0, not %1")
                                 .arg(quoted(read.text("count"))));
        options.session.count = int(*count);
    }
    if (read.isSet("duration")) {
        bool ok = false;
        const double seconds = read.text("duration").toDouble(&ok);
        const double ms = std::round(seconds * 1000.0);
        if (!ok || !(ms >= 1.0 && ms <= double(INT_MAX)))
            return read.fail(QStringLiteral("--duration takes seconds from 0.001 to %1, not %2")
                                 .arg(INT_MAX / 1000)
                                 .arg(quoted(read.text("duration"))));
        options.session.durationMs = static_cast<qint64>(ms);
    }
}

void readInterval(OptionReader &read, CliOptions &options)
{
    const std::optional<int> every = parseInterval(read.text("interval"));
    if (!every)
        return read.fail(QStringLiteral("--interval takes a whole number of milliseconds from 1 "
                                        "to 2147483647, not %1")
                             .arg(quoted(read.text("interval"))));
    options.session.intervalMs = *every;
}

void readUnit(OptionReader &read, CliOptions &options)
{
    const std::optional<LengthUnit> lengthUnit = unitFromName(read.text("unit"));
    if (!lengthUnit)
        return read.fail(QStringLiteral("--unit takes %1, not %2")
                             .arg(unitChoices(), quoted(read.text("unit"))));
    options.session.unit = *lengthUnit;
}

void readTimeout(OptionReader &read, CliOptions &options)
{
    // A reply is complete only after its silence, so a shorter wait could never see one.
    const std::optional<int> wait = parseInterval(read.text("timeout"));
    const int silence = options.session.burstSilenceMs;
    if (!wait || *wait <= silence)
        return read.fail(QStringLiteral("--timeout takes a whole number of milliseconds from %1 "
                                        "to 2147483647, not %2")
                             .arg(silence + 1)
                             .arg(quoted(read.text("timeout"))));
    options.session.timeoutMs = *wait;
}

void readReconnect(OptionReader &read, CliOptions &options)
{
    if (read.isSet("reconnect-interval") && !read.isSet("reconnect"))
        return read.fail(QStringLiteral("--reconnect-interval needs --reconnect"));
    const std::optional<int> retry = parseInterval(read.text("reconnect-interval"));
    if (!retry)
        return read.fail(QStringLiteral("--reconnect-interval takes a whole number of "
                                        "milliseconds from 1 to 2147483647, not %1")
                             .arg(quoted(read.text("reconnect-interval"))));
    options.session.reconnectMs = read.isSet("reconnect") ? *retry : 0;
}

void readFormat(OptionReader &read, CliOptions &options)
{
    const std::optional<RecordFormat> recordFormat = formatFromName(read.text("format"));
    if (!recordFormat)
        return read.fail(QStringLiteral("--format takes %1, not %2")
                             .arg(choiceText(formatNames()), quoted(read.text("format"))));
    options.format = *recordFormat;
}

void readProgress(OptionReader &read, CliOptions &options)
{
    static const QStringList names{QStringLiteral("auto"), QStringLiteral("always"),
                                   QStringLiteral("never")};
    const int index = names.indexOf(read.text("progress"));
    if (index < 0)
        return read.fail(QStringLiteral("--progress takes %1, not %2")
                             .arg(choiceText(names), quoted(read.text("progress"))));
    options.progress = ProgressMode(index);
}

void readStrict(OptionReader &read, CliOptions &options)
{
    options.session.strict = read.isSet("strict");
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

} // namespace

const std::vector<OptionRow> &measureOptionRows()
{
    static const std::vector<OptionRow> rows =
        joined({&kLineRows, &kReplyRows, &kOutputRows, &kJudgeRows, &kResultsRows});
    return rows;
}

const std::vector<OptionRow> &readOptionRows()
{
    static const std::vector<OptionRow> rows = joined({&kOutputRows, &kJudgeRows, &kResultsRows});
    return rows;
}

const std::vector<OptionRow> &modeOptionRows()
{
    static const std::vector<OptionRow> rows =
        joined({&kLineRows, &kReplyRows, &kOutputRows, &kJudgeRows, &kResultsRows, &kModeRows});
    return rows;
}

std::vector<OptionRow> measureRowsNamed(std::initializer_list<const char *> names)
{
    std::vector<OptionRow> rows;
    for (const char *name : names) {
        for (const OptionRow &row : measureOptionRows()) {
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

void readLineAndOutputOptions(OptionReader &read, CliOptions &options)
{
    readSections(read, options,
                 {readPlot, readBaud, readInterval, readUnit, readTimeout, readFormat, readStrict});
}

void readMeasureOptions(OptionReader &read, CliOptions &options)
{
    readSections(read, options,
                 {readNoOperand, readPorts, readPlot, readBaud, readLength, readInterval, readUnit,
                  readAccuracy, readTimeout, readReconnect, readFormat, readStrict, readProgress,
                  readResults});
}

void readReadOptions(OptionReader &read, CliOptions &options)
{
    readSections(read, options,
                 {readRunFile, readPlot, readUnit, readAccuracy, readFormat, readResults});
}

void readModeOptions(OptionReader &read, CliOptions &options)
{
    readSections(read, options,
                 {readNoOperand, readSource, readPlot, readBaud, readLength, readInterval, readUnit,
                  readAccuracy, readTimeout, readReconnect, readFormat, readStrict, readProgress,
                  readResults});
}
