#pragma once

#include "cli/command.h"

namespace rangefinder {

// ports: the serial ports the system reports, and whether this user can open each (also
// --list-ports without a command).
class PortsCommand : public Command
{
public:
    const char *name() const override { return "ports"; }
    QString summary() const override;
    QString description() const override;
    const std::vector<OptionHelp> &optionHelp() const override;
    void read(OptionReader &read) override;
    RunOutcome run() override;
};

// The list on stdout.
RunOutcome listPorts();

} // namespace rangefinder
