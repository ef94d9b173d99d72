#include "optionvalues.h"

QCommandLineOption valueOption(const char *name, const char *valueName, const QString &help,
                               const QString &defaultValue)
{
    return QCommandLineOption(QString::fromLatin1(name), help, QString::fromLatin1(valueName),
                              defaultValue);
}

std::optional<qint64> wholeNumberIn(const QString &text, qint64 low, qint64 high)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<double> numberIn(const QString &text, double low, double high)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= low && value <= high))
        return std::nullopt;
    return value;
}
