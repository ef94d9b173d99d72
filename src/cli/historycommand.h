#pragma once

#include "cli/command.h"
#include "results/history.h"
#include "results/sqlstore.h"
#include "results/storelocation.h"

// history: the runs kept in a results store, and whether a device's latest check drifts.
class HistoryCommand : public Command
{
public:
    const char *name() const override { return "history"; }
    QString summary() const override;
    QString description() const override;
    const std::vector<OptionRow> &optionRows() const override;
    void read(OptionReader &read) override;
    RunOutcome run() override;

private:
    StoreLocation m_store;
    RunFilter m_filter;
    HistoryFormat m_format = HistoryFormat::Text;
};
