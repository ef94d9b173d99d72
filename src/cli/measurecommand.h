#pragma once

#include "cli/command.h"
#include "cli/options.h"

namespace rangefinder {

// measure: live measuring on one or more ports (also options without a command).
class MeasureCommand : public Command
{
public:
    const char *name() const override { return "measure"; }
    QString summary() const override;
    QString description() const override;
    QString epilogue() const override;
    const std::vector<OptionHelp> &optionHelp() const override;
    void read(OptionReader &read) override;
    RunOutcome run() override;

    const CliOptions &options() const { return m_options; }

private:
    CliOptions m_options;
};

// A live run with these options, from the ports' opening to the chart.
RunOutcome measure(const CliOptions &options);

} // namespace rangefinder
