#pragma once

#include "cli/command.h"
#include "cli/linearitystudy.h"

namespace rangefinder {

// study linearity: a gauge linearity and bias study across the range, of saved runs or live.
class StudyLinearityCommand : public Command
{
public:
    const char *name() const override { return "study linearity"; }
    QString summary() const override;
    QString description() const override;
    QString epilogue() const override;
    const std::vector<OptionHelp> &optionHelp() const override;
    void read(OptionReader &read) override;
    RunOutcome run() override;

    const StudySettings &settings() const { return m_settings; }

private:
    void readSource(OptionReader &read);

    StudySettings m_settings;
};

// What a study came to, as every command says it: no study is as bad options are (2); a
// judged one is a device whose verdict decides (0 PASS, 1 FAIL).
RunOutcome outcomeOf(const StudyOutcome &study);

} // namespace rangefinder
