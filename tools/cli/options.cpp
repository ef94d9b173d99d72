#include "options.h"

#include "interval.h"
#include "linesettings.h"
#include "optionvalues.h"
#include "replyframe.h"
#include "runchart.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>

namespace {

const char kDescription[] =
    "Takes measurements from the distance meter on a serial port and writes one record per\n"
    "measurement to stdout: the local time (ISO 8601, milliseconds) of the reply or of the\n"
    "timeout, the status (ok, failed, timeout; rejected with --strict), the distance in metres,\n"
    "the value in the chosen unit (six digits, as the window shows it), the unit, the latency\n"
    "from the command's write to the decoded reply in ms, the reply's bytes in hex from its\n"
    "start byte 0x55, and whether its last byte is the low 8 bits of the sum of bytes 2 to 6\n"
    "(check: match, mismatch or absent). A reply with status 0 or with distance 0 is failed and\n"
    "has no distance. A summary goes to stderr at the end, also on SIGINT: counts,\n"
    "min/max/mean/standard deviation of the valid distances in metres, latency p50/p99. The\n"
    "line runs at 8 data bits, no parity, 1 stop bit, no flow control.\n"
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
    "answers; the send lines left over are timeouts.";

const char kExitCodes[] =
    "\nExit codes:\n"
    "  0    every measurement ok\n"
    "  1    at least one measurement failed or timed out\n"
    "  2    bad options, or a --from file that cannot be read or is not a run\n"
    "  3    the port cannot be opened or refuses the line settings\n"
    "  4    the device went away while measuring\n"
    "  5    the records, the summary or the chart could not be written\n"
    "  130  interrupted by SIGINT (143: SIGTERM), after the summary\n";

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

} // namespace

CliOptions parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const std::vector<OptionRow> optionRows = {
        {"port", "name-or-path",
         "Serial port, a name (ttyUSB0, COM3) or a path (/dev/ttyUSB0). Required."},
        {"baud", "rate", "9600, 115200 or 230400 (default %1).", QStringLiteral("9600")},
        {"count", "n", "Number of measurements; 0 measures until interrupted (default 1)."},
        {"duration", "seconds",
         "Write commands for this long instead of counting them; the run ends then, or once the "
         "last reply is in. Not with --count."},
        {"interval", "ms",
         "From one command's write to the next, a whole number from 1 (default %1).",
         QStringLiteral("1000")},
        {"unit", "unit", "Unit of the value: m, yd or ft (default %1).", QStringLiteral("m")},
        {"timeout", "ms",
         "How long to wait for a reply after the write, more than 10 (default %1).",
         QStringLiteral("1000")},
        {"format", "format", "Records as text, csv (with a header row) or jsonl (default %1).",
         QStringLiteral("text")},
        {"strict", nullptr,
         "A reply whose check byte is wrong or missing is a failed measurement, with status "
         "rejected."},
        {"from", "file",
         "Read a finished run from this file (- for stdin) instead of measuring: a log saved by "
         "the window, or CSV or JSONL of this program. Not with --port, --baud, --count, "
         "--duration, --interval or --timeout."},
        {"plot", "file",
         "After the run, write a chart of it to this file: PNG or SVG, by the extension .png or "
         ".svg."},
        {"plot-size", "WxH", "The chart's size in pixels (default %1).",
         QStringLiteral("1200x600")},
    };
    addOptions(parser, optionRows);
    const auto isSet = [&](const char *name) { return parser.isSet(QLatin1String(name)); };
    const auto value = [&](const char *name) { return parser.value(QLatin1String(name)); };

    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(help)) {
        CliOptions options;
        options.action = CliOptions::Action::Help;
        options.text = parser.helpText() + QString::fromLatin1(kExitCodes);
        return options;
    }
    if (parser.isSet(version)) {
        CliOptions options;
        options.action = CliOptions::Action::Version;
        options.text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                     QCoreApplication::applicationVersion());
        return options;
    }
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unexpected argument %1")
                           .arg(quoted(parser.positionalArguments().constFirst())));

    CliOptions options;
    options.action = CliOptions::Action::Run;
    SessionSettings &s = options.session;

    if (isSet("from")) {
        if (value("from").isEmpty())
            return failure(QStringLiteral("--from takes a file name, or - for stdin"));
        options.fromPath = value("from");
        for (const char *live : {"port", "baud", "count", "duration", "interval", "timeout"}) {
            if (isSet(live))
                return failure(
                    QStringLiteral("--%1 cannot be used with --from").arg(QLatin1String(live)));
        }
    } else if (!isSet("port") || value("port").isEmpty()) {
        return failure(QStringLiteral("--port is required"));
    }
    s.portName = value("port");

    if (isSet("plot")) {
        options.plotPath = value("plot");
        if (!RunChart::fileTypeOf(options.plotPath))
            return failure(QStringLiteral("--plot takes a file name ending in .png or .svg, not %1")
                               .arg(quoted(options.plotPath)));
    } else if (isSet("plot-size")) {
        return failure(QStringLiteral("--plot-size needs --plot"));
    }
    const QStringList sides = value("plot-size").split(QLatin1Char('x'));
    const std::optional<qint64> width = wholeNumberIn(sides.value(0), 300, 10000);
    const std::optional<qint64> height = wholeNumberIn(sides.value(1), 200, 10000);
    if (sides.size() != 2 || !width || !height)
        return failure(QStringLiteral("--plot-size takes WxH in pixels, from 300x200 to "
                                      "10000x10000, not %1")
                           .arg(quoted(value("plot-size"))));
    options.plotSize = QSize(int(*width), int(*height));

    const QString rate = value("baud");
    const auto *known = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                     [&](qint32 each) { return rate == QString::number(each); });
    if (known != std::end(kBaudRates))
        s.baudRate = *known;
    else
        return failure(
            QStringLiteral("--baud takes 9600, 115200 or 230400, not %1").arg(quoted(rate)));

    if (isSet("count") && isSet("duration"))
        return failure(QStringLiteral("--count and --duration cannot be used together"));
    if (isSet("count")) {
        const std::optional<qint64> count = wholeNumberIn(value("count"), 0, INT_MAX);
        if (!count)
            return failure(QStringLiteral("--count takes a whole number from 0, not %1")
                               .arg(quoted(value("count"))));
        s.count = int(*count);
    }
    if (isSet("duration")) {
        bool ok = false;
        const double seconds = value("duration").toDouble(&ok);
        const double ms = std::round(seconds * 1000.0);
        if (!ok || !(ms >= 1.0 && ms <= double(INT_MAX)))
            return failure(QStringLiteral("--duration takes seconds from 0.001 to %1, not %2")
                               .arg(INT_MAX / 1000)
                               .arg(quoted(value("duration"))));
        s.durationMs = static_cast<qint64>(ms);
    }

    const std::optional<int> every = parseInterval(value("interval"));
    if (!every)
        return failure(QStringLiteral("--interval takes a whole number of milliseconds from 1 "
                                      "to 2147483647, not %1")
                           .arg(quoted(value("interval"))));
    s.intervalMs = *every;

    const std::optional<LengthUnit> lengthUnit = unitFromName(value("unit"));
    if (!lengthUnit)
        return failure(
            QStringLiteral("--unit takes m, yd or ft, not %1").arg(quoted(value("unit"))));
    s.unit = *lengthUnit;

    // A reply is complete only after 10 ms of silence, so a shorter wait could never see one.
    const std::optional<int> wait = parseInterval(value("timeout"));
    if (!wait || *wait <= kBurstSilenceMs)
        return failure(QStringLiteral("--timeout takes a whole number of milliseconds from %1 "
                                      "to 2147483647, not %2")
                           .arg(kBurstSilenceMs + 1)
                           .arg(quoted(value("timeout"))));
    s.timeoutMs = *wait;

    const std::optional<RecordFormat> recordFormat = formatFromName(value("format"));
    if (!recordFormat)
        return failure(QStringLiteral("--format takes text, csv or jsonl, not %1")
                           .arg(quoted(value("format"))));
    options.format = *recordFormat;
    s.strict = isSet("strict");
    return options;
}
