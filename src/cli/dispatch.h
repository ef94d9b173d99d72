#pragma once

#include "cli/command.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace rangefinder {

// What a command line asks for: a command to run, read and ready; text for stdout (help, the
// version); or the one line that says what is wrong with it.
struct Invocation
{
    enum class Kind { Run, Print, Error };
    Kind kind = Kind::Error;
    std::unique_ptr<Command> command;
    QString text;
};

// The arguments, program name first: a command's name, then its options and operands; or,
// without a name, options as they were before there were commands. Prints nothing.
Invocation parseInvocation(const QStringList &arguments);

// Prints, complains or runs, and returns the exit code, decided from the outcome.
int runInvocation(Invocation &invocation);

} // namespace rangefinder
