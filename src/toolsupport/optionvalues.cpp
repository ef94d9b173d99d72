#include "toolsupport/optionvalues.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

void addOptions(QCommandLineParser &parser, const std::vector<OptionRow> &rows)
{
    for (const OptionRow &row : rows) {
        QString help = row.help;
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

QString choiceText(const QStringList &names)
{
    if (names.size() < 2)
        return names.join(QString());
    return names.mid(0, names.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") +
           names.constLast();
}

void OptionReader::number(const char *name, double low, double high, double &value)
{
    if (!isSet(name))
        return;
    if (const std::optional<double> parsed = numberIn(text(name), low, high))
        value = *parsed;
    else
        outOfRange(name, "a number", low, high);
}

void OptionReader::whole(const char *name, qint64 low, qint64 high,
                         const std::function<void(qint64)> &store)
{
    if (!isSet(name))
        return;
    if (const std::optional<qint64> parsed = wholeNumberIn(text(name), low, high))
        store(*parsed);
    else
        outOfRange(name, "a whole number", low, high);
}

void OptionReader::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
}

template <typename T>
void OptionReader::outOfRange(const char *name, const char *kind, T low, T high)
{
    fail(QStringLiteral("--%1 takes %2 from %3 to %4, not \"%5\"")
             .arg(QLatin1String(name), QLatin1String(kind))
             .arg(low)
             .arg(high)
             .arg(text(name)));
}
