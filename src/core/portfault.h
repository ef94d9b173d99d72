#pragma once

#include <QString>

namespace rangefinder {

// When a device is unplugged, or stops answering, the port's own text is often "Unknown error"
// or "Inappropriate ioctl for device" (left by an earlier call), which tells an operator nothing.
// Such a text is left out of what the window and the command line say; any other is kept beside
// their own words.
bool portTextSaysMore(const QString &portText);

} // namespace rangefinder
