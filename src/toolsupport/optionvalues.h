#pragma once

#include <QString>

#include <optional>
#include <vector>

class QCommandLineParser;

// A row of a program's table of options. A null valueName makes a flag. A defaultValue is the
// value when the option is not given, and stands for "%1" in help.
struct OptionRow
{
    const char *name;
    const char *valueName;
    const char *help;
    QString defaultValue;
};

// Adds the rows' options in their order, which is the order --help lists them in.
void addOptions(QCommandLineParser &parser, const std::vector<OptionRow> &rows);

// text as a whole number from low to high, or nothing.
std::optional<qint64> wholeNumberIn(const QString &text, qint64 low, qint64 high);
// text as a number from low to high, or nothing (never NaN).
std::optional<double> numberIn(const QString &text, double low, double high);
