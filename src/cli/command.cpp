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

QString Command::helpText(const QCommandLineParser &parser) const
{
    // The parser's usage line names the program alone.
    const QString text = parser.helpText();
    const QString usage = QStringLiteral("Usage: %1 %2 [options]")
                              .arg(QCoreApplication::applicationName(), QLatin1String(name()));
    return usage + (operands().isEmpty() ? QString() : QLatin1Char(' ') + operands()) +
           text.mid(text.indexOf(QLatin1Char('\n'))) + epilogue();
}

QString Command::helpHint() const
{
    return QStringLiteral("see %1 %2 --help")
        .arg(QCoreApplication::applicationName(), QLatin1String(name()));
}

std::vector<std::unique_ptr<Command>> makeCommands()
{
    std::vector<std::unique_ptr<Command>> commands;
    commands.push_back(std::make_unique<MeasureCommand>());
    commands.push_back(std::make_unique<ReadCommand>());
    commands.push_back(std::make_unique<PortsCommand>());
    commands.push_back(std::make_unique<StudyLinearityCommand>());
    commands.push_back(std::make_unique<HistoryCommand>());
    commands.push_back(std::make_unique<ResultsSyncCommand>());
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
