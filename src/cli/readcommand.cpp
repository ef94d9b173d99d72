#include "cli/readcommand.h"

#include "cli/endingsignals.h"
#include "cli/helptexts.h"
#include "cli/readback.h"
#include "cli/runend.h"

#include <QCommandLineParser>

namespace rangefinder {

QString ReadCommand::summary() const
{
    return QStringLiteral("read a finished run back: a window log, or CSV or JSONL of measure");
}

void ReadCommand::addOperands(QCommandLineParser &parser) const
{
    parser.addPositionalArgument(QStringLiteral("FILE|-"),
                                 QStringLiteral("The run's file, or - for stdin."));
}

QString ReadCommand::description() const
{
    return QStringLiteral(
               "Reads a finished run: a log saved by the window, or the CSV or JSONL output of\n"
               "measure, told apart by their content, and writes the same records, summary and\n"
               "chart as the live run (a run on several ports: each port's). Lines that fit no\n"
               "known form are skipped and reported. The\n"
               "window's log has no date: its records carry the time of day as written, hours "
               "going\n"
               "on past 24 after midnight. Each reply answers the latest send line before it that "
               "no\n"
               "later reply answers; the send lines left over are timeouts.\n\n") +
           judgingText();
}

QString ReadCommand::epilogue() const
{
    return exitCodesText();
}

const std::vector<OptionHelp> &ReadCommand::optionHelp() const
{
    static const std::vector<OptionHelp> help = helpOf(readOptionRows());
    return help;
}

void ReadCommand::read(OptionReader &read)
{
    readReadOptions(read, m_options);
}

RunOutcome ReadCommand::run()
{
    return readRun(m_options);
}

RunOutcome readRun(const CliOptions &options)
{
    if (const std::optional<RunOutcome> refused = refusedForClash(options))
        return *refused;
    watchEndingSignals();
    return readBack(options);
}

} // namespace rangefinder
