#pragma once

#include <QStringList>

// rangefinder-cli history [options]: the runs kept in a results store, and whether the latest
// check of a device drifts. arguments: the program's name, then the command's own.
int runHistory(const QStringList &arguments);

// rangefinder-cli results sync: delivers the runs waiting in the outbox to their servers.
int runResults(const QStringList &arguments);
