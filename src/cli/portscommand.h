#pragma once

#include "cli/command.h"

namespace rangefinder {

// ports: the serial ports the system reports, and whether this user can open each (also
// --list-ports without a command).
std::unique_ptr<Command> makePortsCommand();

// The list on stdout.
RunOutcome listPorts();

} // namespace rangefinder
