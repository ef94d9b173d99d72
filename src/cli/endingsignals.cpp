#include "cli/endingsignals.h"

#include "cli/output.h"
#include "toolsupport/signalwatcher.h"

#include <QCoreApplication>

#include <csignal>

namespace rangefinder {

SignalWatcher *watchEndingSignals()
{
    // SIGHUP: a closed terminal or console window, a dropped session; on Windows the watcher
    // maps the console's events (Ctrl+C, Ctrl+Break, a closed console) onto these three.
    auto *watcher =
        new SignalWatcher({SIGINT, SIGTERM, SIGHUP}, SignalWatcher::InterruptedCalls::Fail,
                          QCoreApplication::instance());
    if (!watcher->isWatching())
        complain(QStringLiteral("cannot watch for SIGINT, SIGTERM and SIGHUP (%1): they end the "
                                "run without a summary")
                     .arg(watcher->errorString()));
    return watcher;
}

} // namespace rangefinder
