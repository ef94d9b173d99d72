#pragma once

#include "cli/command.h"

namespace rangefinder {

// results sync: the runs waiting in the outbox delivered to their servers.
std::unique_ptr<Command> makeResultsSyncCommand();

} // namespace rangefinder
