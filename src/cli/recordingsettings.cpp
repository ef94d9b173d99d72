#include "cli/recordingsettings.h"

QString defaultStoreText()
{
    const QString fromEnvironment = qEnvironmentVariable("RANGEFINDER_RESULTS");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStringLiteral("sqlite:") + defaultStorePath();
}
