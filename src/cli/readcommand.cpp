#include "cli/readcommand.h"

#include "cli/endingsignals.h"
#include "cli/helptexts.h"
#include "cli/readback.h"
#include "cli/runend.h"

namespace rangefinder {

std::unique_ptr<Command> makeReadCommand()
{
    CommandText text{
        "read",
        QStringLiteral("read a finished run back: a window log, or CSV or JSONL of measure"),
        QStringLiteral(
            "Reads a finished run: a log saved by the window, or the CSV or JSONL output of\n"
            "measure, told apart by their content, and writes the same records, summary and\n"
            "chart as the live run (a run on several ports: each port's). Lines that fit no\n"
            "known form are skipped and reported. The\n"
            "window's log has no date: its records carry the time of day as written, hours going\n"
            "on past 24 after midnight. Each reply answers the latest send line before it that no\n"
            "later reply answers; the send lines left over are timeouts.\n\n") +
            judgingText(),
        exitCodesText(),
        QStringLiteral("FILE|-"),
        QStringLiteral("The run's file, or - for stdin.")};
    return std::make_unique<CommandOf<CliOptions>>(std::move(text), helpOf(readOptionRows()),
                                                   readReadOptions, readRun);
}

RunOutcome readRun(const CliOptions &options)
{
    if (const std::optional<RunOutcome> refused = refusedForClash(options))
        return *refused;
    watchEndingSignals();
    return readBack(options);
}

} // namespace rangefinder
