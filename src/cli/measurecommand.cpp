#include "cli/measurecommand.h"

#include "cli/endingsignals.h"
#include "cli/helptexts.h"
#include "cli/liverun.h"
#include "cli/runend.h"
#include "core/replyframe.h"

#include <QCoreApplication>

namespace rangefinder {

namespace {

QString recordsText()
{
    return QStringLiteral(
        "Takes measurements from the distance meter on a serial port and writes one record per\n"
        "measurement to stdout: the local time (ISO 8601, milliseconds) of the reply or of the\n"
        "timeout, the status (ok, failed, timeout; rejected with --strict; disconnected with\n"
        "--reconnect), the distance in metres, the value in the chosen unit (six digits, as "
        "the\n"
        "window shows it), the unit, the latency from the command's write to the decoded reply "
        "in\n"
        "ms (of a disconnection: how long the device was away), the reply's bytes in hex from "
        "its\n"
        "start byte 0x55, and whether its last byte is the low 8 bits of the sum of bytes 2 to "
        "6\n"
        "(check: match, mismatch or absent). A reply with status 0 or with distance 0 is failed "
        "and\n"
        "has no distance. A summary goes to stderr at the end, also on SIGINT: counts,\n"
        "min/max/mean/standard deviation of the valid distances in metres, latency p50/p99. "
        "The\n"
        "line runs at 8 data bits, no parity, 1 stop bit, no flow control. With several ports,\n"
        "each record carries its port (text: first; CSV: a last column port; JSONL: a key "
        "port),\n"
        "each port's summary lines begin with it, and a port that cannot be opened or goes "
        "away\n"
        "leaves the others measuring.\n");
}

QString pairingText()
{
    return QStringLiteral(
               "The first command is written at once, the next one an interval after it; if the "
               "reply\n"
               "is still awaited then, the next command follows as soon as it arrives or times "
               "out.\n"
               "A reply ends after %1 ms of silence and is made only of bytes received after its "
               "command\n"
               "was written; replies that answer no command are ignored, as are those behind the "
               "first\n"
               "in one burst. Bytes before a 0x55 belong to no reply. A reply of 7 bytes at the "
               "end of\n"
               "its burst waits for its last byte until the timeout.\n")
        .arg(kBurstSilenceMs);
}

// Blank lines keep help2man from running the lines together in the manual page.
const char kStationExample[] =
    "\nExample, a test station (here the simulator plays a device 0.3 m off):\n"
    "  rangefinder-sim --distance 12.5 --offset 0.3 --spread 0.03 & # prints /dev/pts/3\n"
    "\n"
    "  rangefinder-cli measure --port /dev/pts/3 --count 50 --interval 50 --reference 12.5\n"
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
    "  (Cgk -0.90)\n"
    "\n"
    "A night-long run that survives the device being unplugged and plugged back:\n"
    "  rangefinder-cli measure --duration 43200 --reconnect --format csv \\\n"
    "      --port /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 > night.csv\n";

} // namespace

std::unique_ptr<Command> makeMeasureCommand()
{
    CommandText text{
        "measure",
        QStringLiteral("take measurements on one or more serial ports (options alone mean this)"),
        recordsText() + QLatin1Char('\n') + pairingText() + QLatin1Char('\n') + judgingText(),
        exitCodesText() + QString::fromLatin1(kStationExample)};
    return std::make_unique<CommandOf<CliOptions>>(std::move(text), helpOf(measureOptionRows()),
                                                   readMeasureOptions, measure);
}

RunOutcome measure(const CliOptions &options)
{
    if (const std::optional<RunOutcome> refused = refusedForClash(options))
        return *refused;
    auto *run = new LiveRun(options, watchEndingSignals(), QCoreApplication::instance());
    if (const std::optional<RunOutcome> early = run->begin())
        return *early;
    QCoreApplication::exec();
    return run->outcome();
}

} // namespace rangefinder
