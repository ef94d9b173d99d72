#pragma once

#include <QString>

namespace rangefinder {

// A symbolic link that makes the simulator's pty reachable under a fixed name (such as
// /dev/COM1, which is what QSerialPort makes of the port name "COM1" on Linux).
//
// The rule, kept simple so that nothing of anybody else's is ever replaced or removed:
// - the path must not exist, or be a symbolic link that points nowhere (left behind by a run
//   that was killed) or at `target` itself; such a link is replaced;
// - anything else (a file, a directory, a device, a link to something that exists) is refused.
// Returns false with a message in `error` when refused or when the link cannot be made.
bool createPortLink(const QString &path, const QString &target, QString *error);

// Removes the link only if it is still a symbolic link to `target`.
bool removePortLink(const QString &path, const QString &target);

} // namespace rangefinder
