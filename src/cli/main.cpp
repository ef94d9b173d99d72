// rangefinder-cli: measurements from a script or a test bench, with the window's command frame,
// silence framing and decode. See --help for the commands, and each command's for its options.
#include "cli/dispatch.h"
#include "cli/exitcodes.h"
#include "cli/output.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstring>
#include <memory>

using namespace rangefinder;

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
    QCoreApplication::setApplicationName(QStringLiteral("rangefinder-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    qInstallMessageHandler(quietMessages);

    Invocation invocation = parseInvocation(argumentsAsGiven(argc, argv));
    return runInvocation(invocation);
}
