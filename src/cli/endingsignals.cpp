#include "cli/endingsignals.h"

#include "cli/output.h"
#include "toolsupport/signalwatcher.h"

#include <QCoreApplication>

#include <csignal>

SignalWatcher *watchEndingSignals()
{
#ifdef SIGHUP
    const QVector<int> endingSignals{SIGINT, SIGTERM, SIGHUP};
#else
    const QVector<int> endingSignals{SIGINT, SIGTERM}; // Windows knows no hangup
#endif
    auto *watcher = new SignalWatcher(endingSignals, SignalWatcher::InterruptedCalls::Fail,
                                      QCoreApplication::instance());
    if (!watcher->isWatching())
        complain(QStringLiteral("cannot watch for SIGINT, SIGTERM and SIGHUP (%1): they end the "
                                "run without a summary")
                     .arg(watcher->errorString()));
    return watcher;
}
