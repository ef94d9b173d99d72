#pragma once

#include "cli/command.h"
#include "cli/linearitystudy.h"

namespace rangefinder {

// study linearity: a gauge linearity and bias study across the range, of saved runs or live.
std::unique_ptr<Command> makeStudyLinearityCommand();

// What a study came to, as every command says it: no study is as bad options are (2); a
// judged one is a device whose verdict decides (0 PASS, 1 FAIL).
RunOutcome outcomeOf(const StudyOutcome &study);

} // namespace rangefinder
