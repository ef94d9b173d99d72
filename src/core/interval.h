#pragma once

#include <QString>

#include <optional>

namespace rangefinder {

// The continuous-measurement interval in milliseconds: a whole number from 1 to 2147483647.
// Anything else (empty, letters, 0, negative, too large) is refused, because a 0 ms timer
// would flood the device and the log, and a negative one never fires.
std::optional<int> parseInterval(const QString &text);

} // namespace rangefinder
