#pragma once

#include <QString>

namespace rangefinder {

// Help prose that measure and read share.

// The paragraph on --reference and the figures of the verdict.
QString judgingText();
// The table of exit codes, from kExitCodeRows.
QString exitCodesText();

} // namespace rangefinder
