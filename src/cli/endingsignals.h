#pragma once

namespace rangefinder {

class SignalWatcher;

// SIGINT, SIGTERM and SIGHUP (a closed terminal, a dropped session) turned into an event that
// ends a run with its summary and releases the port; a write blocked on a full pipe gives way to
// them. Said on stderr when they cannot be watched. The watcher belongs to the application.
SignalWatcher *watchEndingSignals();

} // namespace rangefinder
