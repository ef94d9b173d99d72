#pragma once

#include "chart/chart.h"
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
    void readPlot(OptionReader &read);
    bool writePlot(const QVector<Drift> &drifts) const;

    StoreLocation m_store;
    RunFilter m_filter;
    HistoryFormat m_format = HistoryFormat::Text;
    QString m_plotPath; // a chart of the one device's checks
    ChartFileType m_plotType = ChartFileType::Png;
    QSize m_plotSize{1200, 600};
};
