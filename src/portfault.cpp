#include "portfault.h"

#include <QLatin1String>

bool portTextSaysMore(const QString &portText)
{
    const QString text = portText.trimmed();
    return !text.isEmpty() && text != QLatin1String("Unknown error") &&
           text != QLatin1String("Inappropriate ioctl for device");
}
