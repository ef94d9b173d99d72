#pragma once

#include <QString>

// Help prose that measure and read share.

// The paragraph on --reference and the figures of the verdict.
QString judgingText();
// The table of exit codes, from kExitCodeRows.
QString exitCodesText();
