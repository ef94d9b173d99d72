#include "cli/portscommand.h"

#include "cli/output.h"
#include "cli/portaccess.h"

namespace rangefinder {

std::unique_ptr<Command> makePortsCommand()
{
    CommandText text{
        "ports", QStringLiteral("list the serial ports and whether this user can open each"),
        QStringLiteral(
            "Lists the serial ports the system reports, their stable paths under\n"
            "/dev/serial/by-id/, and whether this user can open each; if not, why and what to "
            "do.\n")};
    return makeCommandWithoutOptions(std::move(text), listPorts);
}

RunOutcome listPorts()
{
    RunOutcome outcome;
    outcome.outputLost = writeWhole(stdout, portList()) != Written::Whole;
    return outcome;
}

} // namespace rangefinder
