#include "cli/exitcodes.h"

#include <algorithm>

namespace rangefinder {

namespace {

int deviceCode(const DeviceEnding &device)
{
    if (device.kind == DeviceEnding::Kind::NotOpened)
        return kExitPortUnusable;
    if (device.kind == DeviceEnding::Kind::Lost || device.endedAway)
        return kExitDeviceLost;
    const bool good = device.passed ? *device.passed : device.allOk;
    return good ? kExitAllMeasured : kExitSomeFailed;
}

} // namespace

int exitCodeOf(const RunOutcome &outcome)
{
    if (outcome.signal != 0)
        return kExitSignalBase + outcome.signal;
    if (outcome.outputLost)
        return kExitOutputLost;
    int code = outcome.badOptions ? kExitBadOptions : kExitAllMeasured;
    for (const DeviceEnding &device : outcome.devices)
        code = std::max(code, deviceCode(device));
    return code;
}

} // namespace rangefinder
