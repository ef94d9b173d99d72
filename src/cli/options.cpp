#include "cli/options.h"

#include "cli/runchart.h"
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

const char kDescription[] =
    "Takes measurements from the distance meter on a serial port and writes one record per\n"
    "measurement to stdout: the local time (ISO 8601, milliseconds) of the reply or of the\n"
    "timeout, the status (ok, failed, timeout; rejected with --strict; disconnected with\n"
    "--reconnect), the distance in metres, the value in the chosen unit (six digits, as the\n"
    "window shows it), the unit, the latency from the command's write to the decoded reply in\n"
    "ms (of a disconnection: how long the device was away), the reply's bytes in hex from its\n"
    "start byte 0x55, and whether its last byte is the low 8 bits of the sum of bytes 2 to 6\n"
    "(check: match, mismatch or absent). A reply with status 0 or with distance 0 is failed and\n"
    "has no distance. A summary goes to stderr at the end, also on SIGINT: counts,\n"
    "min/max/mean/standard deviation of the valid distances in metres, latency p50/p99. The\n"
    "line runs at 8 data bits, no parity, 1 stop bit, no flow control. With several ports,\n"
    "each record carries its port (text: first; CSV: a last column port; JSONL: a key port),\n"
    "each port's summary lines begin with it, and a port that cannot be opened or goes away\n"
    "leaves the others measuring.\n"
    "\n"
    "The first command is written at once, the next one an interval after it; if the reply\n"
    "is still awaited then, the next command follows as soon as it arrives or times out.\n"
    "A reply ends after 10 ms of silence and is made only of bytes received after its command\n"
    "was written; replies that answer no command are ignored, as are those behind the first\n"
    "in one burst. Bytes before a 0x55 belong to no reply. A reply of 7 bytes at the end of\n"
    "its burst waits for its last byte until the timeout.\n"
    "\n"
    "--from reads a finished run instead: a log saved by the window, or this program's CSV or\n"
    "JSONL output, told apart by their content, and writes the same records, summary and\n"
    "chart. Lines that fit no known form are skipped and reported. The window's log has no\n"
    "date: its records carry the time of day as written, hours going on past 24 after\n"
    "midnight. Each reply answers the latest send line before it that no later reply\n"
    "answers; the send lines left over are timeouts.\n"
    "\n"
    "--reference and --tolerance judge the run as a type-1 gauge study: after the summary come\n"
    "the number of valid readings n, their mean, the bias (mean - reference), the sample\n"
    "standard deviation s, the largest deviation from the reference, Cg = 0.2*2T/(6s) and\n"
    "Cgk = (0.1*2T - |bias|)/(3s), all in --unit, and the device's resolution of 0.1 m against\n"
    "5 % of the tolerance band 2T (a warning when it is more: the study then means little).\n"
    "With s = 0 a positive Cg or Cgk is shown as inf and passes, a negative Cgk as -inf. Then a\n"
    "line PASS, or FAIL naming every criterion that failed: a reading outside reference +- T;\n"
    "Cg or Cgk below their limits (two valid readings at least); more failed, rejected or\n"
    "timed-out measurements than allowed; more disconnections (--reconnect) than allowed. The\n"
    "exit code is then 0 for PASS, 1 for FAIL.\n"
    "\n"
    "A night-long run that survives the device being unplugged and plugged back:\n"
    "  rangefinder-cli --port /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 \\\n"
    "      --duration 43200 --reconnect --format csv > night.csv";

QString exitCodesText()
{
    QString text = QStringLiteral("\nExit codes:\n");
    for (const ExitCodeRow &row : kExitCodeRows)
        text += QStringLiteral("  %1%2\n").arg(row.code, -5).arg(QLatin1String(row.meaning));
    return text + QStringLiteral("With several ports, the highest code of any port (a signal's "
                                 "above all).\n");
}

// Blank lines keep help2man from running the lines together in the manual page.
const char kStationExample[] =
    "\nExample, a test station (here the simulator plays a device 0.3 m off):\n"
    "  rangefinder-sim --distance 12.5 --offset 0.3 --spread 0.03 & # prints /dev/pts/3\n"
    "\n"
    "  rangefinder-cli --port /dev/pts/3 --count 50 --interval 50 --reference 12.5\n"
    "  --tolerance 1 --junit station.xml > run.txt\n"
    "\n"
    "ends with exit code 1, the records in run.txt, the report in station.xml, and on stderr\n"
    "the summary and\n"
    "  accuracy (m): reference 12.5, tolerance 1, n 50, mean 12.802, bias +0.302, sd 0.038,\n"
    "  largest deviation +0.400\n"
    "\n"
    "  capability: Cg 1.77, Cgk -0.90\n"
    "\n"
    "  resolution: 0.100 m, at most 0.100 m, 5 % of the tolerance band 2T = 2.000 m\n"
    "\n"
    "  FAIL: bias +0.302 m exceeds the 0.049 m that Cgk 1.33 allows with s 0.038 m\n"
    "  (Cgk -0.90)\n";

CliOptions failure(const QString &message)
{
    CliOptions options;
    options.action = CliOptions::Action::Error;
    options.text = message;
    return options;
}

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

// Options about the port and its commands, which a run read back has none of. --reconnect and
// its interval go unnamed in --from's help, whose list is of what a run is measured with.
const struct
{
    const char *name;
    bool namedInHelp;
} kLiveOnlyOptions[] = {
    {"port", true},     {"baud", true},    {"count", true},      {"duration", true},
    {"interval", true}, {"timeout", true}, {"reconnect", false}, {"reconnect-interval", false},
};

QString liveOnlyChoices()
{
    QStringList names;
    for (const auto &option : kLiveOnlyOptions) {
        if (option.namedInHelp)
            names << QStringLiteral("--") + QLatin1String(option.name);
    }
    return choiceText(names);
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

const std::vector<OptionRow> kOptionRows = {
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
    {"unit", "unit",
     QStringLiteral("Unit of the value: ") + unitChoices() + QStringLiteral(" (default %1)."),
     QStringLiteral("m")},
    {"timeout", "ms",
     QStringLiteral("How long to wait for a reply after the write, more than ") +
         QString::number(kBurstSilenceMs) + QStringLiteral(" (default %1)."),
     QStringLiteral("1000")},
    {"format", "format",
     QStringLiteral("Records as ") + choiceText(formatNames(true)) +
         QStringLiteral(" (default %1)."),
     QStringLiteral("text")},
    {"reconnect", nullptr,
     "When the device goes away, close the port, say so on stderr, and open the same path "
     "again every --reconnect-interval until it opens or the run is over, then measure on. "
     "The gap is a record of its own, status disconnected, at the time the device went, "
     "with how long it stayed away in latency_ms. Give a path under /dev/serial/by-id/: a "
     "USB adapter plugged in again may come back as another ttyUSB."},
    {"reconnect-interval", "ms",
     "With --reconnect: how often to try to open the port again (default %1).",
     QStringLiteral("500")},
    {"strict", nullptr,
     "A reply whose check byte is wrong or missing is a failed measurement, with status "
     "rejected."},
    {"from", "file",
     QStringLiteral("Read a finished run from this file (- for stdin) instead of measuring: a "
                    "log saved by the window, or CSV or JSONL of this program. Not with ") +
         liveOnlyChoices() + QLatin1Char('.')},
    {"plot", "file",
     "After the run, write a chart of it to this file: PNG or SVG, by the extension .png or "
     ".svg, or as --plot-format says."},
    {"plot-format", "format", "png or svg, for a --plot file without either extension."},
    {"plot-size", "WxH", "The chart's size in pixels (default %1).", QStringLiteral("1200x600")},
    {"list-ports", nullptr,
     "List the serial ports the system reports, their stable paths under "
     "/dev/serial/by-id/, and whether this user can open each; if not, why and what to do."},
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
     "named after the port, a testcase per criterion."},
    {"results", "url",
     "Keep the run in a results store: sqlite:PATH, postgresql://[user@]host[:port]/dbname "
     "(?host=DIR for a Unix socket; a password goes in PGPASSWORD or ~/.pgpass, never here), "
     "or none. Runs with --reference are kept without it, in RANGEFINDER_RESULTS or else in "
     "$XDG_DATA_HOME/rangefinder-assistant/results.sqlite; other runs only when it is given."},
    {"station", "name", "The station the run is recorded as made at (default: the host name)."},
    {"operator", "name", "Who the run is recorded as made by (default: the login name)."},
    {"serial", "serial",
     "The device the run is recorded for (default: the USB adapter's serial number where the "
     "system reports one, else the port; of a run read back, the file's name)."},
};

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

// Help, version and the port list, which need no other option; nothing for a run.
std::optional<CliOptions> actionBesidesRun(const QCommandLineParser &parser,
                                           const QCommandLineOption &help,
                                           const QCommandLineOption &version)
{
    CliOptions options;
    if (parser.isSet(help)) {
        options.action = CliOptions::Action::Help;
        options.text = parser.helpText() + exitCodesText() + QString::fromLatin1(kStationExample);
    } else if (parser.isSet(version)) {
        options.action = CliOptions::Action::Version;
        options.text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                     QCoreApplication::applicationVersion());
    } else if (parser.isSet(QStringLiteral("list-ports"))) {
        options.action = CliOptions::Action::ListPorts;
    } else if (!parser.positionalArguments().isEmpty()) {
        return failure(QStringLiteral("unexpected argument %1")
                           .arg(quoted(parser.positionalArguments().constFirst())));
    } else {
        return std::nullopt;
    }
    return options;
}

// --from, or the ports to measure.
void readSource(OptionReader &read, CliOptions &options)
{
    if (read.isSet("from")) {
        if (read.text("from").isEmpty())
            return read.fail(QStringLiteral("--from takes a file name, or - for stdin"));
        options.fromPath = read.text("from");
        for (const auto &live : kLiveOnlyOptions) {
            if (read.isSet(live.name))
                return read.fail(QStringLiteral("--%1 cannot be used with --from")
                                     .arg(QLatin1String(live.name)));
        }
    } else if (!read.isSet("port")) {
        return read.fail(QStringLiteral("--port is required"));
    }
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
    const QStringList sides = read.text("plot-size").split(QLatin1Char('x'));
    const std::optional<qint64> width = wholeNumberIn(sides.value(0), 300, 10000);
    const std::optional<qint64> height = wholeNumberIn(sides.value(1), 200, 10000);
    if (sides.size() != 2 || !width || !height)
        return read.fail(QStringLiteral("--plot-size takes WxH in pixels, from 300x200 to "
                                        "10000x10000, not %1")
                             .arg(quoted(read.text("plot-size"))));
    options.plotSize = QSize(int(*width), int(*height));
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

// Where the run is kept: a live station run by default, anything else only when asked.
void readResults(OptionReader &read, CliOptions &options)
{
    RecordingSettings &recording = options.recording;
    const bool live = options.fromPath.isEmpty();
    QString text = QStringLiteral("none");
    if (read.isSet("results"))
        text = read.text("results");
    else if (live && options.accuracy)
        text = defaultStoreText();
    QString error;
    if (!parseStoreLocation(text, recording.store, &error))
        return read.fail((read.isSet("results") ? QStringLiteral("--results: ")
                                                : QStringLiteral("RANGEFINDER_RESULTS: ")) +
                         error);
    if (read.isSet("serial") && options.ports.size() > 1)
        return read.fail(QStringLiteral("--serial names one device: with several ports each is "
                                        "recorded by its adapter's serial number"));
    recording.station = read.isSet("station") ? read.text("station") : QSysInfo::machineHostName();
    recording.operatorName = read.isSet("operator") ? read.text("operator") : loginName();
    recording.serial = read.text("serial");
}

} // namespace

int exitCodeOf(const RunStatistics &statistics)
{
    if (statistics.endedAway)
        return kExitDeviceLost;
    return statistics.allOk() ? kExitAllMeasured : kExitSomeFailed;
}

CliOptions parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    addOptions(parser, kOptionRows);
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (std::optional<CliOptions> other = actionBesidesRun(parser, help, version))
        return *other;

    CliOptions options;
    options.action = CliOptions::Action::Run;
    OptionReader read(parser);
    // In this order: the first problem is the one reported.
    using Section = void (*)(OptionReader &, CliOptions &);
    for (const Section section :
         {readSource, readPlot, readBaud, readLength, readInterval, readUnit, readAccuracy,
          readTimeout, readReconnect, readFormat, readResults}) {
        section(read, options);
        if (!read.error().isEmpty())
            return failure(read.error());
    }
    return options;
}
