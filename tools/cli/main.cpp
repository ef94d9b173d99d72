// rangefinder-cli: measurements from a script or a test bench, with the window's command frame,
// silence framing and decode. See --help for the options, the records and the exit codes.
#include "measurementsession.h"
#include "options.h"
#include "recordformat.h"
#include "signalwatcher.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

QtMessageHandler defaultMessageHandler = nullptr;

// Scripts read stderr; Qt's debug and info chatter has no place there.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    defaultMessageHandler(type, context, message);
}

enum class Written { Whole, Failed, Interrupted };

// Whole and at once: a reader of the pipe never sees part of a record, and one that a full
// disk cut short is taken back, so that a file ends with the last whole record. error says why
// a write failed.
Written writeWhole(FILE *stream, const QString &text, QString *error = nullptr)
{
    const QByteArray bytes = text.toUtf8();
#ifdef Q_OS_UNIX
    const int fd = ::fileno(stream);
    const off_t start = ::lseek(fd, 0, SEEK_CUR); // -1 for a pipe or a terminal
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        const int code = n < 0 ? errno : ENOSPC;
        if (code == EINTR && SignalWatcher::caughtSignal() == 0)
            continue;
        if (done > 0 && start >= 0 && ::ftruncate(fd, start) == 0)
            ::lseek(fd, start, SEEK_SET);
        if (error)
            *error = qt_error_string(code);
        return code == EINTR ? Written::Interrupted : Written::Failed;
    }
    return Written::Whole;
#else
    const bool whole = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()),
                                   stream) == static_cast<size_t>(bytes.size()) &&
                       std::fflush(stream) == 0;
    if (!whole && error)
        *error = qt_error_string(errno);
    return whole ? Written::Whole : Written::Failed;
#endif
}

void complain(const QString &message)
{
    writeWhole(stderr, QStringLiteral("rangefinder-cli: %1\n").arg(message));
}

bool standardOutputIsOpen()
{
#ifdef Q_OS_UNIX
    return ::fcntl(STDOUT_FILENO, F_GETFD) != -1 || errno != EBADF;
#else
    return true;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    // Closed, it would be whatever file the program opens first that gets the records.
    if (!standardOutputIsOpen()) {
        std::fputs("rangefinder-cli: standard output is closed\n", stderr);
        return kExitOutputLost;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rangefinder-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    defaultMessageHandler = qInstallMessageHandler(quietMessages);

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

    // Before the port opens, so that an early Ctrl-C still ends with a summary.
    auto *signalWatcher = new SignalWatcher(&app);
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
    bool ended = false;
    bool outputLost = false;
    int exitStatus = kExitAllMeasured;
    auto end = [&](int exitCode) {
        if (ended)
            return;
        ended = true;
        statistics.ignoredBursts = session->ignoredBursts();
        if (writeWhole(stderr, formatSummary(statistics)) != Written::Whole &&
            exitCode < kExitSignalBase)
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
            if (writeRecords(formatRecord(measurement, options.format, options.session.unit)))
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

    if (!writeRecords(recordHeader(options.format)))
        return exitStatus;
    // From inside the event loop, so that an exit requested by the first write takes effect.
    QTimer::singleShot(0, session, &MeasurementSession::start);
    return app.exec();
}
