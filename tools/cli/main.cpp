// rangefinder-cli: measurements from a script or a test bench, with the window's command frame,
// silence framing and decode. See --help for the options, the records and the exit codes.
#include "measurementsession.h"
#include "options.h"
#include "recordformat.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

QtMessageHandler defaultMessageHandler = nullptr;

// Scripts read stderr; Qt's debug and info chatter has no place there.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    defaultMessageHandler(type, context, message);
}

// Whole and at once: a reader of the pipe never sees part of a record.
void writeWhole(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void complain(const QString &message)
{
    writeWhole(stderr, QStringLiteral("rangefinder-cli: %1\n").arg(message));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rangefinder-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    defaultMessageHandler = qInstallMessageHandler(quietMessages);

    const CliOptions options = parseOptions(QCoreApplication::arguments());
    switch (options.action) {
    case CliOptions::Action::Help:
    case CliOptions::Action::Version:
        writeWhole(stdout, options.text);
        return kExitAllMeasured;
    case CliOptions::Action::Error:
        complain(options.text + QStringLiteral(" (see --help)"));
        return kExitBadOptions;
    case CliOptions::Action::Run:
        break;
    }

    // Before the port opens, so that an early Ctrl-C still ends with a summary.
    auto *signalWatcher = new SignalWatcher(&app);
    auto *session = new MeasurementSession(options.session, &app);
    if (!session->open()) {
        complain(QStringLiteral("cannot open %1: %2")
                     .arg(options.session.portName, session->errorString()));
        return kExitPortUnusable;
    }

    RunStatistics statistics;
    bool ended = false;
    auto end = [&](int exitCode) {
        if (ended)
            return;
        ended = true;
        statistics.ignoredBursts = session->ignoredBursts();
        writeWhole(stderr, formatSummary(statistics));
        QCoreApplication::exit(exitCode);
    };

    writeWhole(stdout, recordHeader(options.format));
    QObject::connect(
        session, &MeasurementSession::measured, &app, [&](const Measurement &measurement) {
            if (ended)
                return;
            writeWhole(stdout, formatRecord(measurement, options.format, options.session.unit));
            statistics.add(measurement);
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

    // From inside the event loop, so that an exit requested by the first write takes effect.
    QTimer::singleShot(0, session, &MeasurementSession::start);
    return app.exec();
}
