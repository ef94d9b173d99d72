#include "cli/recordingsettings.h"

namespace rangefinder {

QString defaultStoreText()
{
    const QString fromEnvironment = qEnvironmentVariable("RANGEFINDER_RESULTS");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStringLiteral("sqlite:") + defaultStorePath();
}

} // namespace rangefinder
