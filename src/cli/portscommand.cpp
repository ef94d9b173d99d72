#include "cli/portscommand.h"

#include "cli/output.h"
#include "cli/portaccess.h"

namespace rangefinder {

QString PortsCommand::summary() const
{
    return QStringLiteral("list the serial ports and whether this user can open each");
}

QString PortsCommand::description() const
{
    return QStringLiteral(
        "Lists the serial ports the system reports, their stable paths under\n"
        "/dev/serial/by-id/, and whether this user can open each; if not, why and what to do.\n");
}

const std::vector<OptionHelp> &PortsCommand::optionHelp() const
{
    static const std::vector<OptionHelp> none;
    return none;
}

void PortsCommand::read(OptionReader &read)
{
    if (!read.operands().isEmpty())
        read.fail(QStringLiteral("unexpected argument \"%1\"").arg(read.operands().first()));
}

RunOutcome PortsCommand::run()
{
    return listPorts();
}

RunOutcome listPorts()
{
    RunOutcome outcome;
    outcome.outputLost = writeWhole(stdout, portList()) != Written::Whole;
    return outcome;
}

} // namespace rangefinder
