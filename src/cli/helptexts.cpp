#include "cli/helptexts.h"

#include "cli/exitcodes.h"

namespace rangefinder {

QString judgingText()
{
    return QStringLiteral(
        "--reference and --tolerance judge the run as a type-1 gauge study: after the summary "
        "come\n"
        "the number of valid readings n, their mean, the bias (mean - reference), the sample\n"
        "standard deviation s, the largest deviation from the reference, Cg = 0.2*2T/(6s) and\n"
        "Cgk = (0.1*2T - |bias|)/(3s), all in --unit, and the device's resolution of 0.1 m "
        "against\n"
        "5 % of the tolerance band 2T (a warning when it is more: the study then means "
        "little).\n"
        "With s = 0 a positive Cg or Cgk is shown as inf and passes, a negative Cgk as -inf. "
        "Then a\n"
        "line PASS, or FAIL naming every criterion that failed: a reading outside reference +- "
        "T\n"
        "(compared exactly, from the device's tenths of a metre);\n"
        "Cg or Cgk below their limits (two valid readings at least); more failed, rejected or\n"
        "timed-out measurements than allowed; more disconnections (--reconnect) than allowed. "
        "The\n"
        "exit code is then 0 for PASS, 1 for FAIL.\n");
}

QString exitCodesText()
{
    QString text = QStringLiteral("\nExit codes:\n");
    for (const ExitCodeRow &row : kExitCodeRows)
        text += QStringLiteral("  %1%2\n").arg(row.code, -5).arg(QLatin1String(row.meaning));
    return text + QStringLiteral("With several ports, the highest code of any port (a signal's "
                                 "above all).\n");
}

} // namespace rangefinder
