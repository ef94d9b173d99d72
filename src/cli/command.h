#pragma once

#include "cli/exitcodes.h"
#include "toolsupport/optionvalues.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QCommandLineParser;

namespace rangefinder {

// One command of rangefinder-cli (measure, read, ports): its name, a line for the list of
// commands, its own options, and what it does. A fresh one reads its arguments once and runs
// once.
class Command
{
public:
    virtual ~Command() = default;

    // One word, or words apart by a space ("study linearity"), as the command line gives it.
    virtual const char *name() const = 0;
    // One line in the list of commands.
    virtual QString summary() const = 0;
    // What follows the options in the usage line ("FILE|-"), empty for nothing; a command with
    // operands names them to the parser in addOperands.
    virtual QString operands() const { return QString(); }
    virtual void addOperands(QCommandLineParser &) const {}
    // The help's paragraphs before the options, and after them.
    virtual QString description() const = 0;
    virtual QString epilogue() const { return QString(); }
    // What --help and the manual page say of its options, made from its rows.
    virtual const std::vector<OptionHelp> &optionHelp() const = 0;

    // What the parser found, into the command's settings; read.fail() for the first problem.
    virtual void read(OptionReader &read) = 0;
    // Once read without a problem: does the work, writes its own output, says how it went.
    virtual RunOutcome run() = 0;

    // The usage line, the description, the options and the epilogue.
    virtual QString helpText(const QCommandLineParser &parser) const;
    // How an error line refers to the help.
    virtual QString helpHint() const;
};

// Every command, fresh, in the order the list of commands shows them.
std::vector<std::unique_ptr<Command>> makeCommands();
// The command whose name's words begin arguments, fresh, and how many words that is; null when
// none does.
std::unique_ptr<Command> makeCommand(const QStringList &arguments, int *words = nullptr);

} // namespace rangefinder
