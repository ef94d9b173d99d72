#pragma once

#include "cli/command.h"
#include "cli/options.h"

namespace rangefinder {

// read FILE|-: a finished run read back, with the records, summary, chart and verdict a live run
// gives (also --from FILE without a command).
class ReadCommand : public Command
{
public:
    const char *name() const override { return "read"; }
    QString summary() const override;
    QString operands() const override { return QStringLiteral("FILE|-"); }
    void addOperands(QCommandLineParser &parser) const override;
    QString description() const override;
    QString epilogue() const override;
    const std::vector<OptionHelp> &optionHelp() const override;
    void read(OptionReader &read) override;
    RunOutcome run() override;

    const CliOptions &options() const { return m_options; }

private:
    CliOptions m_options;
};

// The run of options.fromPath read back, signals watched.
RunOutcome readRun(const CliOptions &options);

} // namespace rangefinder
