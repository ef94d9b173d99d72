#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// A row of a program's table of options. A null valueName makes a flag. A defaultValue is the
// value when the option is not given, and stands for "%1" in help.
struct OptionRow
{
    const char *name;
    const char *valueName;
    QString help;
    QString defaultValue;
};

// Adds the rows' options in their order, which is the order --help lists them in.
void addOptions(QCommandLineParser &parser, const std::vector<OptionRow> &rows);

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

    void number(const char *name, double low, double high, double &value);
    void whole(const char *name, qint64 low, qint64 high, const std::function<void(qint64)> &store);

    template <typename E>
    void choice(const char *name, const QStringList &names, const QList<E> &values, E &value)
    {
        if (!isSet(name))
            return;
        const int index = names.indexOf(text(name));
        if (index < 0) {
            fail(QStringLiteral("--%1 takes one of %2, not \"%3\"")
                     .arg(QLatin1String(name), names.join(QStringLiteral(", ")), text(name)));
            return;
        }
        value = values.at(index);
    }

    bool isSet(const char *name) const { return m_parser.isSet(QLatin1String(name)); }
    QString text(const char *name) const { return m_parser.value(QLatin1String(name)); }
    QStringList texts(const char *name) const { return m_parser.values(QLatin1String(name)); }
    // The words that are no option nor an option's value.
    QStringList operands() const { return m_parser.positionalArguments(); }

    void fail(const QString &message);
    QString error() const { return m_error; }

private:
    template <typename T> void outOfRange(const char *name, const char *kind, T low, T high);

    const QCommandLineParser &m_parser;
    QString m_error;
};
