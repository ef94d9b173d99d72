#include "core/interval.h"

namespace rangefinder {

std::optional<int> parseInterval(const QString &text)
{
    bool ok = false;
    const int ms = text.toInt(&ok, 10);
    if (!ok || ms < 1)
        return std::nullopt;
    return ms;
}

} // namespace rangefinder
