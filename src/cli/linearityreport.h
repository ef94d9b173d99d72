#pragma once

#include "cli/linearity.h"
#include "cli/recordformat.h"

#include <QString>

namespace rangefinder {

// The study's tables, one row per reference and one per coefficient of the line, as CSV (with a
// header row) or JSONL, the columns named alike in both; lengths in the study's unit.
QString linearityTables(const LinearityStudy &study, RecordFormat format);

// The same tables as text, under a line naming the study and its unit.
QString linearityTablesText(const LinearityStudy &study, const QString &unit);

// The line's fit (s, R-sq), the linearity with a process sigma, a note on too few references,
// and the verdict line that begins PASS or FAIL and names every criterion that failed.
QString linearitySummary(const LinearityStudy &study);

} // namespace rangefinder
