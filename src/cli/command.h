#pragma once

#include "cli/exitcodes.h"
#include "toolsupport/optionvalues.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QCommandLineParser;

namespace rangefinder {

// What a command is called and what its help says around its options.
struct CommandText
{
    // One word, or words apart by a space ("study linearity"), as the command line gives it.
    const char *name;
    // One line in the list of commands.
    QString summary;
    // The help's paragraphs before the options, and after them.
    QString description;
    QString epilogue = QString();
    // What follows the options in the usage line ("FILE|-"), and its line in the help; empty
    // for a command that takes none.
    QString operands = QString();
    QString operandsHelp = QString();
};

// One command of rangefinder-cli (measure, read, ports): its texts, its own options, and what
// it does. A fresh one reads its arguments once and runs once.
class Command
{
public:
    Command(CommandText text, std::vector<OptionHelp> optionHelp);
    virtual ~Command() = default;

    const char *name() const { return m_text.name; }
    const QString &summary() const { return m_text.summary; }
    const QString &description() const { return m_text.description; }
    // What --help and the manual page say of its options, made from its rows.
    const std::vector<OptionHelp> &optionHelp() const { return m_optionHelp; }
    void addOperands(QCommandLineParser &parser) const;

    // What the parser found, into the command's settings; read.fail() for the first problem.
    virtual void read(OptionReader &read) = 0;
    // Once read without a problem: does the work, writes its own output, says how it went.
    virtual RunOutcome run() = 0;

    // The usage line, the description, the options and the epilogue.
    virtual QString helpText(const QCommandLineParser &parser) const;
    // How an error line refers to the help.
    virtual QString helpHint() const;

private:
    CommandText m_text;
    std::vector<OptionHelp> m_optionHelp;
};

// A command whose arguments are read into settings S, which it then runs with.
template <typename S> class CommandOf : public Command
{
public:
    using Reader = std::function<void(OptionReader &, S &)>;
    using Runner = std::function<RunOutcome(const S &)>;

    CommandOf(CommandText text, std::vector<OptionHelp> optionHelp, Reader reader, Runner runner)
        : Command(std::move(text), std::move(optionHelp)), m_reader(std::move(reader)),
          m_runner(std::move(runner))
    {}

    void read(OptionReader &read) override { m_reader(read, m_settings); }
    RunOutcome run() override { return m_runner(m_settings); }
    const S &settings() const { return m_settings; }

private:
    Reader m_reader;
    Runner m_runner;
    S m_settings;
};

// A command that takes no options nor operands.
std::unique_ptr<Command> makeCommandWithoutOptions(CommandText text,
                                                   std::function<RunOutcome()> run);

// Every command, fresh, in the order the list of commands shows them.
std::vector<std::unique_ptr<Command>> makeCommands();
// The command whose name's words begin arguments, fresh, and how many words that is; null when
// none does.
std::unique_ptr<Command> makeCommand(const QStringList &arguments, int *words = nullptr);

} // namespace rangefinder
