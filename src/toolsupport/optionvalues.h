#pragma once

#include <QCommandLineParser>
#include <QSize>
#include <QString>
#include <QStringList>

#include <climits>
#include <functional>
#include <optional>
#include <vector>

namespace rangefinder {

// What --help says of one option. A null valueName makes a flag.
struct OptionHelp
{
    const char *name;
    const char *valueName;
    QString help;
};

// Adds the options in their order, which is the order --help lists them in.
void addOptions(QCommandLineParser &parser, const std::vector<OptionHelp> &options);

// text as a whole number from low to high, or nothing.
std::optional<qint64> wholeNumberIn(const QString &text, qint64 low, qint64 high);
// text as a number from low to high, or nothing (never NaN).
std::optional<double> numberIn(const QString &text, double low, double high);

// "a, b or c": a choice as help and messages offer it.
QString choiceText(const QStringList &names);

// Reads option values by name, remembering the first problem so that all are reported the same
// way.
class OptionReader
{
public:
    explicit OptionReader(const QCommandLineParser &parser) : m_parser(parser) {}

    bool isSet(const char *name) const { return m_parser.isSet(QLatin1String(name)); }
    QString text(const char *name) const { return m_parser.value(QLatin1String(name)); }
    QStringList texts(const char *name) const { return m_parser.values(QLatin1String(name)); }
    // The words that are no option nor an option's value.
    QStringList operands() const { return m_parser.positionalArguments(); }

    // "--name takes what, not "text"": an option's value that is none of what it takes.
    void refuse(const char *name, const QString &what);
    // "unexpected argument "word"": the first operand beyond the allowed ones.
    void refuseOperands(int allowed = 0);
    void fail(const QString &message);
    QString error() const { return m_error; }

private:
    const QCommandLineParser &m_parser;
    QString m_error;
};

// Where in the settings S an option's value is kept.
template <typename S, typename T> using Field = std::function<T &(S &)>;

template <typename S, typename T> Field<S, T> field(T S::*member)
{
    return [member](S &settings) -> T & { return settings.*member; };
}

template <typename S, typename M, typename T> Field<S, T> field(M S::*outer, T M::*inner)
{
    return [outer, inner](S &settings) -> T & { return (settings.*outer).*inner; };
}

// How an option's text is checked and kept in the settings S, and how its default is shown.
template <typename S> struct OptionValue
{
    std::function<void(OptionReader &, const char *name, S &)> store;
    std::function<QString(S &)> shown; // null: help shows no default
};

// A row of a program's table of options. The help's "%1" is the default, as a
// default-constructed S holds it. A row without a value is read by its command: what one row
// cannot say (options that exclude or need each other, values given more than once).
template <typename S> struct OptionRow
{
    const char *name;
    const char *valueName;
    QString help;
    OptionValue<S> value = {};
};

// The readers. Each refuses a value in the one wording of OptionReader::refuse.

// A value parsed by parse and refused as not being what.
template <typename S, typename T>
OptionValue<S> parsedValue(Field<S, T> at, std::function<std::optional<T>(const QString &)> parse,
                           const QString &what, std::function<QString(const T &)> show = nullptr)
{
    OptionValue<S> value;
    value.store = [at, parse, what](OptionReader &read, const char *name, S &settings) {
        if (!read.isSet(name))
            return;
        if (const std::optional<T> parsed = parse(read.text(name)))
            at(settings) = *parsed;
        else
            read.refuse(name, what);
    };
    if (show)
        value.shown = [at, show](S &settings) { return show(at(settings)); };
    return value;
}

QString wholeNumberText(qint64 low, qint64 high);
QString millisecondsText(qint64 low, qint64 high);
QString numberText(double low, double high);
// Seconds to the millisecond, as milliseconds.
std::optional<qint64> millisecondsOfSeconds(const QString &text);
QString secondsText();
// WxH in pixels, within what a chart may be.
std::optional<QSize> pixelSizeOf(const QString &text);
QString pixelSizeText();

template <typename S, typename T>
OptionValue<S> wholeNumberOf(Field<S, T> at, qint64 low, qint64 high, const QString &what)
{
    return parsedValue<S, T>(
        at,
        [low, high](const QString &text) -> std::optional<T> {
            if (const std::optional<qint64> parsed = wholeNumberIn(text, low, high))
                return T(*parsed);
            return std::nullopt;
        },
        what, [](const T &number) { return QString::number(number); });
}

// A whole number from low to high; the highest an int holds goes without saying.
template <typename S, typename T>
OptionValue<S> wholeNumber(Field<S, T> at, qint64 low, qint64 high = INT_MAX)
{
    return wholeNumberOf(at, low, high, wholeNumberText(low, high));
}

// A time in whole milliseconds.
template <typename S>
OptionValue<S> milliseconds(Field<S, int> at, qint64 low, qint64 high = INT_MAX)
{
    return wholeNumberOf(at, low, high, millisecondsText(low, high));
}

// A number from low to high.
template <typename S> OptionValue<S> number(Field<S, double> at, double low, double high)
{
    return parsedValue<S, double>(
        at, [low, high](const QString &text) { return numberIn(text, low, high); },
        numberText(low, high), [](const double &value) { return QString::number(value); });
}

// A number above 0 and at most high, such as a length; what words it.
template <typename S>
OptionValue<S> aboveZero(Field<S, double> at, double high, const QString &what)
{
    return parsedValue<S, double>(
        at,
        [high](const QString &text) -> std::optional<double> {
            const std::optional<double> value = numberIn(text, 0, high);
            return value && *value > 0 ? value : std::nullopt;
        },
        what);
}

// One of names, kept as the value at the same place in values.
template <typename S, typename T>
OptionValue<S> choice(Field<S, T> at, const QStringList &names, const QList<T> &values)
{
    return parsedValue<S, T>(
        at,
        [names, values](const QString &text) -> std::optional<T> {
            const int index = names.indexOf(text);
            return index < 0 ? std::nullopt : std::optional<T>(values.at(index));
        },
        choiceText(names),
        [names, values](const T &value) { return names.value(values.indexOf(value)); });
}

// A time in seconds, to the millisecond, kept in milliseconds.
template <typename S> OptionValue<S> seconds(Field<S, qint64> at)
{
    return parsedValue<S, qint64>(at, &millisecondsOfSeconds, secondsText());
}

// A chart's WxH in pixels.
template <typename S> OptionValue<S> pixelSize(Field<S, QSize> at)
{
    return parsedValue<S, QSize>(at, &pixelSizeOf, pixelSizeText(), [](const QSize &size) {
        return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    });
}

// A file or a path, not empty; what words it ("a file name").
template <typename S> OptionValue<S> path(Field<S, QString> at, const QString &what)
{
    OptionValue<S> value;
    value.store = [at, what](OptionReader &read, const char *name, S &settings) {
        if (!read.isSet(name))
            return;
        at(settings) = read.text(name);
        if (at(settings).isEmpty())
            read.fail(QStringLiteral("--%1 takes %2").arg(QLatin1String(name), what));
    };
    return value;
}

// A flag: given or not.
template <typename S> OptionValue<S> flag(Field<S, bool> at)
{
    OptionValue<S> value;
    value.store = [at](OptionReader &read, const char *name, S &settings) {
        if (read.isSet(name))
            at(settings) = true;
    };
    return value;
}

// What --help says of the rows, with the defaults of a default-constructed S.
template <typename S> std::vector<OptionHelp> helpOf(const std::vector<OptionRow<S>> &rows)
{
    std::vector<OptionHelp> help;
    S defaults{};
    for (const OptionRow<S> &row : rows)
        help.push_back({row.name, row.valueName,
                        row.value.shown && row.help.contains(QLatin1String("%1"))
                            ? row.help.arg(row.value.shown(defaults))
                            : row.help});
    return help;
}

// Reads what the parser made of the rows that have a value into settings, in the rows' order,
// up to the first problem.
template <typename S>
void readRows(OptionReader &read, const std::vector<OptionRow<S>> &rows, S &settings)
{
    for (const OptionRow<S> &row : rows) {
        if (row.value.store && read.error().isEmpty())
            row.value.store(read, row.name, settings);
    }
}

// Reads the row called name alone: for an option that counts only with another.
template <typename S>
void readRow(OptionReader &read, const std::vector<OptionRow<S>> &rows, const char *name,
             S &settings)
{
    for (const OptionRow<S> &row : rows) {
        if (qstrcmp(row.name, name) == 0 && row.value.store && read.error().isEmpty())
            row.value.store(read, row.name, settings);
    }
}

} // namespace rangefinder
