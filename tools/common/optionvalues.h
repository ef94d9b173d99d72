#pragma once

#include <QCommandLineOption>
#include <QString>

#include <optional>

// An option that takes a value, as --help lists it: --name <valueName>, then help.
QCommandLineOption valueOption(const char *name, const char *valueName, const QString &help,
                               const QString &defaultValue = QString());

// text as a whole number from low to high, or nothing.
std::optional<qint64> wholeNumberIn(const QString &text, qint64 low, qint64 high);
// text as a number from low to high, or nothing (never NaN).
std::optional<double> numberIn(const QString &text, double low, double high);
