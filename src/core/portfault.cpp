#include "core/portfault.h"

#include <QLatin1String>

namespace rangefinder {

bool portTextSaysMore(const QString &portText)
{
    // What a vanished device leaves behind: texts of an earlier, unrelated call's failure.
    static const char *const unrelated[] = {"Unknown error", "Inappropriate ioctl for device",
                                            "Illegal seek", "Resource temporarily unavailable"};
    const QString text = portText.trimmed();
    if (text.isEmpty())
        return false;
    for (const char *other : unrelated) {
        if (text == QLatin1String(other))
            return false;
    }
    return true;
}

} // namespace rangefinder
