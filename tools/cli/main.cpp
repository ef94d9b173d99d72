// rangefinder-cli: measurements from a script or a test bench, with the window's command frame,
// silence framing and decode. See --help for the options, the records and the exit codes.
#include "measurementsession.h"
#include "options.h"
#include "output.h"
#include "readback.h"
#include "recordformat.h"
#include "runchart.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>

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
    case CliOptions::Action::Error:
        complain(options.text + QStringLiteral(" (see --help)"));
        return kExitBadOptions;
    case CliOptions::Action::Run:
        break;
    }
    if (!options.fromPath.isEmpty())
        return readBack(options);

    // Before the port opens, so that an early Ctrl-C still ends with a summary.
    // Calls not restarted: a write blocked on a full pipe must give way to the signal.
    auto *signalWatcher =
        new SignalWatcher({SIGINT, SIGTERM}, SignalWatcher::InterruptedCalls::Fail, &app);
    if (!signalWatcher->isWatching())
        complain(QStringLiteral("cannot watch for SIGINT and SIGTERM (%1): they end the run "
                                "without a summary")
                     .arg(signalWatcher->errorString()));
    auto *session = new MeasurementSession(options.session, &app);
    if (!session->open()) {
        complain(QStringLiteral("cannot open %1: %2")
                     .arg(options.session.portName, session->errorString()));
        return kExitPortUnusable;
    }

    RunStatistics statistics;
    RunChart chart(options.session.unit);
    bool ended = false;
    bool outputLost = false;
    int exitStatus = kExitAllMeasured;
    auto end = [&](int exitCode) {
        if (ended)
            return;
        ended = true;
        statistics.ignoredBursts = session->ignoredBursts();
        if (!writeSummaryAndChart(options, chart, statistics) && exitCode < kExitSignalBase)
            exitCode = kExitOutputLost;
        exitStatus = exitCode;
        QCoreApplication::exit(exitCode);
    };
    // Records that cannot be written end the run: measuring on would only lose more.
    auto writeRecords = [&](const QString &text) {
        QString error;
        const Written written = writeWhole(stdout, text, &error);
        if (written == Written::Whole || outputLost)
            return written == Written::Whole;
        outputLost = true;
        if (written == Written::Interrupted) {
            session->stop();
            end(kExitSignalBase + SignalWatcher::caughtSignal());
        } else {
            complain(QStringLiteral("cannot write the records: %1").arg(error));
            session->stop();
            end(kExitOutputLost);
        }
        return false;
    };

    QObject::connect(
        session, &MeasurementSession::measured, &app, [&](const Measurement &measurement) {
            if (ended || outputLost)
                return;
            if (!writeRecords(formatRecord(measurement, options.format, options.session.unit)))
                return;
            statistics.add(measurement);
            if (!options.plotPath.isEmpty())
                chart.add(measurement);
        });
    QObject::connect(session, &MeasurementSession::finished, &app,
                     [&] { end(statistics.allOk() ? kExitAllMeasured : kExitSomeFailed); });
    QObject::connect(session, &MeasurementSession::deviceLost, &app, [&](const QString &reason) {
        complain(
            QStringLiteral("the device on %1 went away: %2").arg(options.session.portName, reason));
        end(kExitDeviceLost);
    });
    QObject::connect(signalWatcher, &SignalWatcher::caught, &app, [&](int signalNumber) {
        session->stop();
        end(kExitSignalBase + signalNumber);
    });

    if (!writeRecords(recordHeader(options.format)))
        return exitStatus;
    // From inside the event loop, so that an exit requested by the first write takes effect.
    QTimer::singleShot(0, session, &MeasurementSession::start);
    return app.exec();
}
