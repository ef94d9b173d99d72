#include "cli/resultssynccommand.h"

#include "cli/output.h"
#include "results/outbox.h"
#include "results/sqlstore.h"
#include "results/storelocation.h"

#include <QFileInfo>

namespace rangefinder {

namespace {

// The runs waiting for one server delivered; false when some still wait.
bool deliverTo(Outbox &outbox, const QString &target)
{
    StoreLocation location;
    QString error;
    if (!parseStoreLocation(target, location, &error)) {
        complain(QStringLiteral("cannot deliver to %1: %2").arg(target, error));
        return false;
    }
    SqlStore server(location);
    const int delivered = server.open() ? outbox.deliver(server) : -1;
    if (delivered < 0) {
        complain(QStringLiteral("cannot deliver to %1: %2")
                     .arg(target, server.errorString().isEmpty() ? outbox.errorString()
                                                                 : server.errorString()));
        return false;
    }
    complain(QStringLiteral("delivered %1 to %2")
                 .arg(delivered == 1 ? QStringLiteral("1 run")
                                     : QStringLiteral("%1 runs").arg(delivered),
                      target));
    return true;
}

// Runs that still wait end like a device that failed: exit code 1.
RunOutcome syncOutbox()
{
    RunOutcome outcome;
    const QString none = QStringLiteral("no runs wait in the outbox %1").arg(outboxPath());
    if (!QFileInfo::exists(outboxPath())) {
        complain(none);
        return outcome;
    }
    Outbox outbox(outboxPath());
    QStringList targets;
    if (!outbox.open() || !outbox.targets(targets)) {
        complain(QStringLiteral("cannot read the outbox %1: %2")
                     .arg(outboxPath(), outbox.errorString()));
        outcome.outputLost = true;
        return outcome;
    }
    if (targets.isEmpty())
        complain(none);
    for (const QString &target : qAsConst(targets)) {
        DeviceEnding ending;
        ending.allOk = deliverTo(outbox, target);
        outcome.devices.append(ending);
    }
    return outcome;
}

} // namespace

std::unique_ptr<Command> makeResultsSyncCommand()
{
    CommandText text{
        "results sync", QStringLiteral("deliver the runs waiting in the outbox to their servers"),
        QStringLiteral("Delivers the runs kept in the outbox %1, while their PostgreSQL "
                       "server\ncould not be reached, to that server. A run already there "
                       "is not stored twice.\nExit code 0 when none waits any more, 1 "
                       "when some still wait, 5 when the outbox\ncannot be read.\n")
            .arg(outboxPath())};
    return makeCommandWithoutOptions(std::move(text), syncOutbox);
}

} // namespace rangefinder
