#pragma once

#include "cli/command.h"
#include "cli/options.h"

namespace rangefinder {

// Options without a command, as scripts wrote them before there were commands: --list-ports
// means ports, --from FILE means read FILE, anything else means measure, with the same output,
// errors and exit codes. Its --help is the program's: the list of commands.
class ModeCommand : public Command
{
public:
    enum class Mode { Measure, Read, Ports };

    ModeCommand();
    void read(OptionReader &read) override;
    RunOutcome run() override;
    QString helpText(const QCommandLineParser &parser) const override;
    QString helpHint() const override { return QStringLiteral("see --help"); }

    Mode mode() const { return m_mode; }
    const CliOptions &options() const { return m_options; }

private:
    Mode m_mode = Mode::Measure;
    CliOptions m_options;
};

} // namespace rangefinder
