// rangefinder-cli: measurements from a script or a test bench, with the window's command frame,
// silence framing and decode. See --help for the options, the records and the exit codes.
#include "cli/liverun.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/portaccess.h"
#include "cli/readback.h"
#include "toolsupport/signalwatcher.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

QtMessageHandler defaultMessageHandler = nullptr;

// Scripts read stderr; Qt's debug and info chatter has no place there.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    defaultMessageHandler(type, context, message);
}

// Text in a chart needs fonts, which only a QGuiApplication has; the rest needs no display.
bool wantsChart(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--plot") == 0 || std::strncmp(argv[i], "--plot=", 7) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!standardOutputIsOpen()) {
        std::fputs("rangefinder-cli: standard output is closed\n", stderr);
        return kExitOutputLost;
    }

    // A platform plugin warns of what a chart does not need (no runtime directory, no screen).
    defaultMessageHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (type != QtWarningMsg)
                quietMessages(type, context, message);
        });
    std::unique_ptr<QCoreApplication> application;
    if (wantsChart(argc, argv)) {
        // The chart is drawn into an image or an SVG file, never shown: no display is needed,
        // whatever the caller's environment names. Windows always has its own platform, and
        // the Windows zip carries no other.
#ifdef Q_OS_WIN
        qputenv("QT_QPA_PLATFORM", "windows");
#else
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
        application = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication &app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("rangefinder-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    qInstallMessageHandler(quietMessages);

    const CliOptions options = parseOptions(QCoreApplication::arguments());
    switch (options.action) {
    case CliOptions::Action::Help:
    case CliOptions::Action::Version:
        return writeWhole(stdout, options.text) == Written::Whole ? kExitAllMeasured
                                                                  : kExitOutputLost;
    case CliOptions::Action::ListPorts:
        return writeWhole(stdout, portList()) == Written::Whole ? kExitAllMeasured
                                                                : kExitOutputLost;
    case CliOptions::Action::Error:
        complain(options.text + QStringLiteral(" (see --help)"));
        return kExitBadOptions;
    case CliOptions::Action::Run:
        break;
    }
    // Before the port opens, so that an early Ctrl-C still ends with a summary; SIGHUP (a
    // closed terminal or console window, a dropped session) too, so that the port is released.
    // Calls not restarted: a write blocked on a full pipe must give way to the signal.
    auto *signalWatcher =
        new SignalWatcher({SIGINT, SIGTERM, SIGHUP}, SignalWatcher::InterruptedCalls::Fail, &app);
    if (!signalWatcher->isWatching())
        complain(QStringLiteral("cannot watch for SIGINT, SIGTERM and SIGHUP (%1): they end the "
                                "run without a summary")
                     .arg(signalWatcher->errorString()));
    if (!options.fromPath.isEmpty())
        return readBack(options);
    auto *run = new LiveRun(options, signalWatcher, &app);
    const int early = run->begin();
    if (early >= 0)
        return early;
    return app.exec();
}
