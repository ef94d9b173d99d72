#include "cli/dispatch.h"

#include "cli/exitcodes.h"
#include "cli/modecommand.h"
#include "cli/output.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace rangefinder {

namespace {

Invocation printing(const QString &text)
{
    return Invocation{Invocation::Kind::Print, nullptr, text};
}

Invocation failing(const QString &message, const Command &command)
{
    return Invocation{Invocation::Kind::Error, nullptr,
                      QStringLiteral("%1 (%2)").arg(message, command.helpHint())};
}

} // namespace

Invocation parseInvocation(const QStringList &arguments)
{
    int words = 0;
    std::unique_ptr<Command> command = makeCommand(arguments.mid(1), &words);
    const bool named = command != nullptr;
    if (!named)
        command = std::make_unique<ModeCommand>();

    QCommandLineParser parser;
    parser.setApplicationDescription(command->description().trimmed());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    addOptions(parser, command->optionHelp());
    command->addOperands(parser);
    if (!parser.parse(named ? QStringList(arguments.mid(0, 1) + arguments.mid(1 + words))
                            : arguments))
        return failing(parser.errorText(), *command);
    if (parser.isSet(help))
        return printing(command->helpText(parser));
    if (parser.isSet(version))
        return printing(QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                      QCoreApplication::applicationVersion()));
    OptionReader read(parser);
    command->read(read);
    if (!read.error().isEmpty())
        return failing(read.error(), *command);
    return Invocation{Invocation::Kind::Run, std::move(command), QString()};
}

int runInvocation(Invocation &invocation)
{
    RunOutcome outcome;
    switch (invocation.kind) {
    case Invocation::Kind::Print:
        outcome.outputLost = writeWhole(stdout, invocation.text) != Written::Whole;
        break;
    case Invocation::Kind::Error:
        complain(invocation.text);
        outcome.badOptions = true;
        break;
    case Invocation::Kind::Run:
        outcome = invocation.command->run();
        break;
    }
    return exitCodeOf(outcome);
}

} // namespace rangefinder
