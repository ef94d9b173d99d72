#include "cli/modecommand.h"

#include "cli/measurecommand.h"
#include "cli/portscommand.h"
#include "cli/readcommand.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace rangefinder {

ModeCommand::ModeCommand()
    : Command({"", QString(),
               QStringLiteral("Measurements from the distance meter on a serial port, for "
                              "scripts and test benches.")},
              helpOf(modeOptionRows()))
{}

void ModeCommand::read(OptionReader &read)
{
    // As before: the port list needs nothing else, and minds nothing else.
    if (read.isSet("list-ports")) {
        m_mode = Mode::Ports;
        return;
    }
    readModeOptions(read, m_options);
    m_mode = m_options.fromPath.isEmpty() ? Mode::Measure : Mode::Read;
}

RunOutcome ModeCommand::run()
{
    switch (m_mode) {
    case Mode::Ports:
        return listPorts();
    case Mode::Read:
        return readRun(m_options);
    case Mode::Measure:
        break;
    }
    return measure(m_options);
}

QString ModeCommand::helpText(const QCommandLineParser &) const
{
    const QString program = QCoreApplication::applicationName();
    QString text = QStringLiteral("Usage: %1 COMMAND [options]\n%2\n\nCommands:\n")
                       .arg(program, description());
    for (const std::unique_ptr<Command> &command : makeCommands())
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(command->name()), -18)
                    .arg(command->summary());
    return text +
           QStringLiteral("\n%1 COMMAND --help shows a command's options. Options alone mean "
                          "measure,\n--from FILE means read FILE, --list-ports means ports.\n\n"
                          "Options:\n  -h, --help     Displays this help.\n"
                          "  -v, --version  Displays version information.\n")
               .arg(program);
}

} // namespace rangefinder
