#pragma once

#include <QVector>

#include <optional>

namespace rangefinder {

// Exit codes of rangefinder-cli. What each means is said once, in kExitCodeRows.
enum ExitCode {
    kExitAllMeasured = 0,
    kExitSomeFailed = 1,
    kExitBadOptions = 2,
    kExitPortUnusable = 3,
    kExitDeviceLost = 4,
    kExitOutputLost = 5,
    kExitSignalBase = 128, // plus the signal
};

// --help's table of exit codes, and with it the manual page's.
struct ExitCodeRow
{
    int code;
    const char *meaning;
};
inline constexpr ExitCodeRow kExitCodeRows[] = {
    {kExitAllMeasured, "every measurement ok; with --reference: PASS"},
    {kExitSomeFailed, "at least one measurement failed or timed out; with --reference: FAIL"},
    {kExitBadOptions, "bad options (a port given twice, an output that is an input or another "
                      "output), or a file to read that cannot be read or is not a run"},
    {kExitPortUnusable, "the port cannot be opened or refuses the line settings"},
    {kExitDeviceLost,
     "the device went away while measuring (--reconnect: and was away at the end)"},
    {kExitOutputLost,
     "the records, the summary, the chart or the JUnit report could not be written"},
    {kExitSignalBase + 2, "interrupted by SIGINT (143: SIGTERM, 129: SIGHUP), after the summary"},
};

// How one device's part of a run ended.
struct DeviceEnding
{
    enum class Kind {
        Measured,  // its count or duration used up, or stopped
        Lost,      // it went away and the run did not wait for it
        NotOpened, // its port could not be opened or refused the line settings
    };
    Kind kind = Kind::Measured;
    bool allOk = true;          // every measurement ok
    bool endedAway = false;     // its last record is a disconnection (--reconnect)
    std::optional<bool> passed; // judged against a reference: its verdict
};

// What a command came to, from which its exit code follows.
struct RunOutcome
{
    bool badOptions = false; // options refused, or an input that cannot be read or is no run
    bool outputLost = false; // something to be written was not: records, summary, chart, report
    int signal = 0;          // the signal that ended the run, 0 for none
    QVector<DeviceEnding> devices;
};

// The program's exit code. A signal's comes above all, then lost output; else the highest of
// the bad options' and the devices', each device's verdict standing for its measurements.
int exitCodeOf(const RunOutcome &outcome);

} // namespace rangefinder
