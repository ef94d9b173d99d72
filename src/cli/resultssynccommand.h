#pragma once

#include "cli/command.h"

namespace rangefinder {

// results sync: the runs waiting in the outbox delivered to their servers.
class ResultsSyncCommand : public Command
{
public:
    const char *name() const override { return "results sync"; }
    QString summary() const override;
    QString description() const override;
    const std::vector<OptionHelp> &optionHelp() const override;
    void read(OptionReader &read) override;
    RunOutcome run() override;
};

} // namespace rangefinder
