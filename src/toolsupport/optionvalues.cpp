#include "toolsupport/optionvalues.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cmath>

namespace rangefinder {

void addOptions(QCommandLineParser &parser, const std::vector<OptionHelp> &options)
{
    for (const OptionHelp &option : options)
        parser.addOption(QCommandLineOption(QString::fromLatin1(option.name), option.help,
                                            QString::fromLatin1(option.valueName)));
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

QString wholeNumberText(qint64 low, qint64 high)
{
    if (high == INT_MAX)
        return QStringLiteral("a whole number from %1").arg(low);
    return QStringLiteral("a whole number from %1 to %2").arg(low).arg(high);
}

QString millisecondsText(qint64 low, qint64 high)
{
    return QStringLiteral("a whole number of milliseconds from %1 to %2").arg(low).arg(high);
}

QString numberText(double low, double high)
{
    return QStringLiteral("a number from %1 to %2").arg(low).arg(high);
}

std::optional<qint64> millisecondsOfSeconds(const QString &text)
{
    bool ok = false;
    const double ms = std::round(text.toDouble(&ok) * 1000.0);
    if (!ok || !(ms >= 1.0 && ms <= double(INT_MAX)))
        return std::nullopt;
    return qint64(ms);
}

QString secondsText()
{
    return QStringLiteral("seconds from 0.001 to %1").arg(INT_MAX / 1000);
}

std::optional<QSize> pixelSizeOf(const QString &text)
{
    const QStringList sides = text.split(QLatin1Char('x'));
    const std::optional<qint64> width = wholeNumberIn(sides.value(0), 300, 10000);
    const std::optional<qint64> height = wholeNumberIn(sides.value(1), 200, 10000);
    if (sides.size() != 2 || !width || !height)
        return std::nullopt;
    return QSize(int(*width), int(*height));
}

QString pixelSizeText()
{
    return QStringLiteral("WxH in pixels, from 300x200 to 10000x10000");
}

void OptionReader::refuse(const char *name, const QString &what)
{
    fail(QStringLiteral("--%1 takes %2, not \"%3\"").arg(QLatin1String(name), what, text(name)));
}

void OptionReader::refuseOperands(int allowed)
{
    const QStringList words = operands();
    if (words.size() > allowed)
        fail(QStringLiteral("unexpected argument \"%1\"").arg(words.at(allowed)));
}

void OptionReader::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
}

} // namespace rangefinder
