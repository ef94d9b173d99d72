#include "cli/command.h"

#include "cli/historycommand.h"
#include "cli/measurecommand.h"
#include "cli/portscommand.h"
#include "cli/readcommand.h"
#include "cli/resultssynccommand.h"
#include "cli/studycommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace rangefinder {

Command::Command(CommandText text, std::vector<OptionHelp> optionHelp)
    : m_text(std::move(text)), m_optionHelp(std::move(optionHelp))
{}

void Command::addOperands(QCommandLineParser &parser) const
{
    if (!m_text.operands.isEmpty())
        parser.addPositionalArgument(m_text.operands, m_text.operandsHelp);
}

QString Command::helpText(const QCommandLineParser &parser) const
{
    // The parser's usage line names the program alone.
    const QString text = parser.helpText();
    const QString usage = QStringLiteral("Usage: %1 %2 [options]")
                              .arg(QCoreApplication::applicationName(), QLatin1String(name()));
    return usage + (m_text.operands.isEmpty() ? QString() : QLatin1Char(' ') + m_text.operands) +
           text.mid(text.indexOf(QLatin1Char('\n'))) + m_text.epilogue;
}

QString Command::helpHint() const
{
    return QStringLiteral("see %1 %2 --help")
        .arg(QCoreApplication::applicationName(), QLatin1String(name()));
}

std::unique_ptr<Command> makeCommandWithoutOptions(CommandText text,
                                                   std::function<RunOutcome()> run)
{
    struct None
    {};
    return std::make_unique<CommandOf<None>>(
        std::move(text), std::vector<OptionHelp>(),
        [](OptionReader &read, None &) { read.refuseOperands(); },
        [run](const None &) { return run(); });
}

std::vector<std::unique_ptr<Command>> makeCommands()
{
    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(makeMeasureCommand());
    commands.push_back(makeReadCommand());
    commands.push_back(makePortsCommand());
    commands.push_back(makeStudyLinearityCommand());
    commands.push_back(makeHistoryCommand());
    commands.push_back(makeResultsSyncCommand());
    return commands;
}

std::unique_ptr<Command> makeCommand(const QStringList &arguments, int *words)
{
    for (std::unique_ptr<Command> &command : makeCommands()) {
        const QStringList name = QString::fromLatin1(command->name()).split(QLatin1Char(' '));
        if (arguments.mid(0, name.size()) == name) {
            if (words)
                *words = name.size();
            return std::move(command);
        }
    }
    return nullptr;
}

} // namespace rangefinder
