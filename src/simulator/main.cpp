// rangefinder-sim: the measuring device on a pseudo-terminal, for trying the window (or any
// program) without the device. Prints the port's path on stdout, then answers commands until
// SIGINT, SIGTERM, SIGHUP or SIGPIPE.
#include "simulator/devicesimulator.h"
#include "simulator/portlink.h"
#include "toolsupport/optionvalues.h"
#include "toolsupport/signalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <optional>

using namespace rangefinder;

namespace {

void complain(const QString &message)
{
    QTextStream(stderr) << "rangefinder-sim: " << message << '\n';
}

// A new terminal for the device that vanished, linked and announced as the first one.
bool plugInAgain(DeviceSimulator &simulator, const QString &linkPath, QString &port, QString *error)
{
    if (!simulator.start()) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(simulator.errorString());
        return false;
    }
    port = simulator.portName();
    if (!linkPath.isEmpty() && !createPortLink(linkPath, port, error))
        return false;
    std::printf("%s\n", port.toLocal8Bit().constData());
    std::fflush(stdout);
    complain(QStringLiteral("plugged in again on %1").arg(port));
    return true;
}

// What the command line asks for besides the device's settings.
struct SimulatorOptions
{
    SimulatorSettings settings;
    int replugMs = 0; // > 0: appear again this long after vanishing
    QString linkPath;
    QString logPath;
    bool log = false;
    bool verbose = false;
};

const char kDescription[] =
    "Plays the Velmora distance meter on a pseudo-terminal. Prints the terminal's path (the\n"
    "port to open, e.g. /dev/pts/7) on stdout, then answers every measurement command\n"
    "55 AA 88 FF FF FF FF 84 with a reply 55 AA 88 S 00 DH DL C until SIGINT, SIGTERM,\n"
    "SIGHUP or SIGPIPE.\n"
    "The same seed and the same commands give the same replies.";

template <typename T> Field<SimulatorOptions, T> device(T SimulatorSettings::*member)
{
    return field(&SimulatorOptions::settings, member);
}

QStringList patternNames()
{
    return {QStringLiteral("fixed"), QStringLiteral("walk"), QStringLiteral("sine")};
}

QStringList noiseNames()
{
    return {QStringLiteral("none"), QStringLiteral("between"), QStringLiteral("continuous")};
}

using Pattern = SimulatorSettings::Pattern;
using Noise = SimulatorSettings::Noise;

const std::vector<OptionRow<SimulatorOptions>> kOptionRows = {
    {"pattern", "fixed|walk|sine",
     "How the distance moves: fixed (always --distance), walk (a random walk between --min "
     "and --max), sine (a sine between --min and --max over --period). Default: %1.",
     choice(device(&SimulatorSettings::pattern), patternNames(),
            {Pattern::Fixed, Pattern::RandomWalk, Pattern::Sine})},
    {"distance", "metres",
     "Distance for the fixed pattern, metres, 0 to 6553.5 (sent in tenths). Default: %1.",
     number(device(&SimulatorSettings::distance), 0, 6553.5)},
    {"min", "metres", "Lowest distance of walk and sine, metres, 0 to 6553.5. Default: %1.",
     number(device(&SimulatorSettings::minimum), 0, 6553.5)},
    {"max", "metres",
     "Highest distance of walk and sine, metres, 0 to 6553.5, not below --min. Default: %1.",
     number(device(&SimulatorSettings::maximum), 0, 6553.5)},
    {"period", "ms", "Period of the sine, milliseconds, 1 to 86400000. Default: %1.",
     milliseconds(device(&SimulatorSettings::periodMs), 1, 86400000)},
    {"offset", "metres",
     "Added to every distance of the pattern, metres, -6553.5 to 6553.5: a biased device (a "
     "distance below 0 is sent as a failed measurement: status 0, distance 0). "
     "Default: %1.",
     number(device(&SimulatorSettings::offset), -6553.5, 6553.5)},
    {"spread", "metres",
     "Standard deviation of normal noise on every distance, metres, 0 to 1000, drawn from "
     "--seed and rounded with the distance to tenths: a device that does not repeat itself. "
     "Default: %1.",
     number(device(&SimulatorSettings::spread), 0, 1000)},
    {"gain", "fraction",
     "A share of every distance added to it, -0.5 to 0.5: a reading is distance x (1 + gain) + "
     "offset, so the bias grows with the distance (a device off in its scale). Default: %1.",
     number(device(&SimulatorSettings::gain), -0.5, 0.5)},
    {"readings", "file",
     "Play the distances in this file in its order, one per command, and then again from its "
     "first: one distance in metres per line, 0 to 6553.5 (blank lines skipped), in place of "
     "the pattern's; --gain, --offset and --spread still apply. A study measured elsewhere "
     "replayed exactly through the port."},
    {"failure-rate", "fraction",
     "Share of replies that report a failed measurement (status 0), 0 to 1. Default: %1.",
     number(device(&SimulatorSettings::failureRate), 0, 1)},
    {"silence-rate", "fraction", "Share of commands that get no reply at all, 0 to 1. Default: %1.",
     number(device(&SimulatorSettings::silenceRate), 0, 1)},
    {"delay", "ms",
     "Time from a command's last byte to its reply's first byte, milliseconds, 0 to 60000. "
     "Default: %1.",
     milliseconds(device(&SimulatorSettings::replyDelayMs), 0, 60000)},
    {"pieces", "count", "Split each 8-byte reply into this many writes, 1 to 8. Default: %1.",
     wholeNumber(device(&SimulatorSettings::pieces), 1, 8)},
    {"gap", "ms",
     "Time between the pieces of a reply, milliseconds, 0 to 60000 (10 or more makes the "
     "window see separate bursts). Default: %1.",
     milliseconds(device(&SimulatorSettings::pieceGapMs), 0, 60000)},
    {"late-check-byte", "ms",
     "Write each reply's check byte (its 8th) on its own, this many milliseconds after the 7 "
     "others (which --pieces splits), as some USB adapters deliver it; 1 to 60000. Default: "
     "with the others.",
     milliseconds(device(&SimulatorSettings::checkByteGapMs), 1, 60000)},
    {"noise", "none|between|continuous",
     "Stray bytes on the line: none; between (--noise-bytes random bytes after each reply, "
     "--noise-delay later); continuous (a burst of --noise-bytes every --noise-interval, so "
     "the line is never silent). Default: %1.",
     choice(device(&SimulatorSettings::noise), noiseNames(),
            {Noise::None, Noise::BetweenReplies, Noise::Continuous})},
    {"noise-bytes", "count", "Bytes per burst of noise, 1 to 4096. Default: %1.",
     wholeNumber(device(&SimulatorSettings::noiseBytes), 1, 4096)},
    {"noise-interval", "ms",
     "Time between bursts of continuous noise, milliseconds, 1 to 60000. Default: %1.",
     milliseconds(device(&SimulatorSettings::noiseIntervalMs), 1, 60000)},
    {"noise-delay", "ms",
     "Time from a reply's last byte to the noise after it, milliseconds, 0 to 60000. "
     "Default: %1 (right behind the reply).",
     milliseconds(device(&SimulatorSettings::noiseDelayMs), 0, 60000)},
    {"unplug-after", "count",
     "Vanish like an unplugged device after this many replies (the port then fails for the "
     "program) and exit; 0 never. Default: %1.",
     wholeNumber(device(&SimulatorSettings::unplugAfterReplies), 0, 1000000000)},
    {"replug-after", "ms",
     "With --unplug-after: this long after vanishing, appear again on a new terminal (its "
     "path printed on stdout, the --link made anew), unplugged no more; 1 to 3600000. "
     "Default: exit instead.",
     milliseconds(field(&SimulatorOptions::replugMs), 1, 3600000)},
    {"seed", "number",
     "Seed of every random choice (walk, spread, failures, silences, noise), 0 to 4294967295. "
     "Default: %1.",
     wholeNumber(device(&SimulatorSettings::seed), 0, 4294967295LL)},
    {"log", "file",
     "Write every event to this file, one line each: steady-clock time in nanoseconds, the "
     "event (command, reply, noise, raw, unplug) and its bytes in hex. The file is replaced.",
     path(field(&SimulatorOptions::logPath), QStringLiteral("a file name"))},
    {"link", "path",
     "Also make the port reachable as PATH, a symbolic link to the pseudo-terminal removed on "
     "exit; e.g. /dev/COM1 for the port name COM1. PATH must not exist, or be a symbolic link "
     "that points nowhere or at this terminal; anything else is refused.",
     path(field(&SimulatorOptions::linkPath), QStringLiteral("a path"))},
    {"verbose", nullptr, "Print every event on stderr.", flag(field(&SimulatorOptions::verbose))},
};

// The distances of a --readings file; empty and a message in error when there are none or a line
// is not one.
QVector<double> readingsFrom(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read --readings %1: %2").arg(path, file.errorString());
        return {};
    }
    QVector<double> readings;
    for (int number = 1; !file.atEnd(); ++number) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty())
            continue;
        const std::optional<double> metres = numberIn(line, 0, 6553.5);
        if (!metres) {
            *error = QStringLiteral("--readings %1, line %2: \"%3\" is no distance in metres "
                                    "from 0 to 6553.5")
                         .arg(path)
                         .arg(number)
                         .arg(line.left(40));
            return {};
        }
        readings << *metres;
    }
    if (readings.isEmpty())
        *error = QStringLiteral("--readings %1 holds no distance").arg(path);
    return readings;
}

// The option values, or the first problem with them in error.
std::optional<SimulatorOptions> readOptions(const QCommandLineParser &parser, QString *error)
{
    SimulatorOptions options;
    SimulatorSettings &settings = options.settings;
    OptionReader read(parser);
    readRows(read, kOptionRows, options);
    if (options.replugMs > 0 && settings.unplugAfterReplies == 0)
        read.fail(QStringLiteral("--replug-after needs --unplug-after"));
    if (settings.minimum > settings.maximum)
        read.fail(QStringLiteral("--min (%1) is above --max (%2)")
                      .arg(settings.minimum)
                      .arg(settings.maximum));
    if (read.isSet("readings") && read.error().isEmpty()) {
        QString problem;
        settings.readings = readingsFrom(read.text("readings"), &problem);
        if (!problem.isEmpty())
            read.fail(problem);
    }
    *error = read.error();
    if (!error->isEmpty())
        return std::nullopt;
    options.log = read.isSet("log");
    return options;
}

// Prints --help or --version and exits, or says what is wrong and gives nothing.
std::optional<SimulatorOptions> parseCommandLine(QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.addHelpOption();
    parser.addVersionOption();
    addOptions(parser, helpOf(kOptionRows));
    // Any bad option ends with 2, an unknown one too; process() would end that with 1.
    if (!parser.parse(QCoreApplication::arguments())) {
        complain(QStringLiteral("%1 (see --help)").arg(parser.errorText()));
        return std::nullopt;
    }
    parser.process(app); // --help and --version
    if (!parser.positionalArguments().isEmpty()) {
        complain(QStringLiteral("unexpected argument \"%1\"; see --help")
                     .arg(parser.positionalArguments().constFirst()));
        return std::nullopt;
    }
    QString error;
    std::optional<SimulatorOptions> options = readOptions(parser, &error);
    if (!options)
        complain(error);
    return options;
}

// The terminal opened, linked and the log begun; false once the reason is on stderr.
bool plugIn(DeviceSimulator &simulator, const SimulatorOptions &options, QString &port,
            QFile &logFile)
{
    simulator.setSettings(options.settings);
    if (!simulator.start()) {
        complain(QStringLiteral("cannot open a pseudo-terminal: %1").arg(simulator.errorString()));
        return false;
    }
    port = simulator.portName();
    const QString &linkPath = options.linkPath;
    if (!linkPath.isEmpty()) {
        QString error;
        if (!createPortLink(linkPath, port, &error)) {
            complain(error);
            return false;
        }
    }
    // Replaced only once the link is made: a refused link leaves an earlier log as it was.
    logFile.setFileName(options.logPath);
    if (options.log && !logFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        complain(QStringLiteral("cannot write the log %1: %2")
                     .arg(logFile.fileName(), logFile.errorString()));
        if (!linkPath.isEmpty())
            removePortLink(linkPath, port);
        return false;
    }
    if (logFile.isOpen()) {
        logFile.write("# steady-clock ns, event, bytes\n");
        logFile.flush();
    }
    return true;
}

void recordEvents(DeviceSimulator &simulator, QFile &logFile, bool verbose)
{
    if (logFile.isOpen() || verbose)
        QObject::connect(&simulator, &DeviceSimulator::eventRecorded, &simulator,
                         [&logFile, verbose](const SimulatorEvent &event) {
                             const QString line =
                                 QStringLiteral("%1 %2 %3")
                                     .arg(event.steadyNs)
                                     .arg(QLatin1String(simulatorEventKindName(event.kind)))
                                     .arg(QString::fromLatin1(event.bytes.toHex(' ')))
                                     .trimmed();
                             if (logFile.isOpen()) {
                                 logFile.write(line.toUtf8() + '\n');
                                 logFile.flush();
                             }
                             if (verbose)
                                 complain(line);
                         });
    // The log is written as events happen; an in-memory copy would grow with every command.
    simulator.setHistoryKept(false);
}

// After --unplug-after: exit, or with --replug-after come back on a new terminal.
void replugWhenUnplugged(DeviceSimulator &simulator, SimulatorOptions &options, QString &port)
{
    QObject::connect(&simulator, &DeviceSimulator::unplugged, &simulator, [&] {
        complain(QStringLiteral("unplugged after %1 replies").arg(simulator.replyCount()));
        if (options.replugMs == 0) {
            // Status 0: the vanishing was asked for with --unplug-after.
            QCoreApplication::quit();
            return;
        }
        // As udev removes an unplugged adapter's links.
        if (!options.linkPath.isEmpty())
            removePortLink(options.linkPath, port);
        QTimer::singleShot(options.replugMs, &simulator, [&] {
            options.settings.unplugAfterReplies = 0;
            simulator.setSettings(options.settings);
            QString error;
            if (!plugInAgain(simulator, options.linkPath, port, &error)) {
                complain(error);
                QCoreApplication::exit(1);
            }
        });
    });
}

void announce(const QString &port, const QString &linkPath)
{
    std::printf("%s\n", port.toLocal8Bit().constData());
    std::fflush(stdout);
    complain(
        QStringLiteral("playing the device on %1%2; SIGINT, SIGTERM, SIGHUP or SIGPIPE stops it")
            .arg(port,
                 linkPath.isEmpty() ? QString() : QStringLiteral(" (linked as %1)").arg(linkPath)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rangefinder-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    std::optional<SimulatorOptions> options = parseCommandLine(app);
    if (!options)
        return 2;

    // SIGPIPE too (stdout or stderr read by nobody any more): dying of it would leave the link
    // behind, pointing at a terminal number that will be given to someone else.
    SignalWatcher signalWatcher({SIGINT, SIGTERM, SIGHUP, SIGPIPE},
                                SignalWatcher::InterruptedCalls::Restart, &app);
    if (!signalWatcher.isWatching()) {
        complain(QStringLiteral("cannot catch SIGINT, SIGTERM, SIGHUP and SIGPIPE: %1")
                     .arg(signalWatcher.errorString()));
        return 1;
    }
    DeviceSimulator simulator(&app);
    QString port;
    QFile logFile;
    if (!plugIn(simulator, *options, port, logFile))
        return 1;
    recordEvents(simulator, logFile, options->verbose);
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &app, &QCoreApplication::quit);
    QObject::connect(&simulator, &DeviceSimulator::failed, &app, [](const QString &message) {
        complain(QStringLiteral("stopped: %1").arg(message));
        QCoreApplication::exit(1);
    });
    replugWhenUnplugged(simulator, *options, port);
    announce(port, options->linkPath);

    const int exitCode = app.exec();
    if (!options->linkPath.isEmpty())
        removePortLink(options->linkPath, port);
    return exitCode;
}
