#include "toolsupport/optionvalues.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

void addOptions(QCommandLineParser &parser, const std::vector<OptionRow> &rows)
{
    for (const OptionRow &row : rows) {
        QString help = QString::fromUtf8(row.help);
        if (!row.defaultValue.isEmpty())
            help = help.arg(row.defaultValue);
        parser.addOption(QCommandLineOption(QString::fromLatin1(row.name), help,
                                            QString::fromLatin1(row.valueName), row.defaultValue));
    }
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
