#pragma once

#include "cli/linearitystudy.h"
#include "toolsupport/optionvalues.h"

#include <QString>
#include <QStringList>

#include <vector>

class SignalWatcher;

// rangefinder-cli study linearity: a gauge linearity and bias study, of saved runs or live.
class StudyLinearityCommand
{
public:
    const char *name() const { return "study linearity"; }
    QString summary() const;
    QString description() const;
    const std::vector<OptionRow> &optionRows() const;

    // What the parser found, into the settings; read.fail() for the first problem.
    void read(OptionReader &read);
    StudyOutcome run(SignalWatcher *watcher);

    const StudySettings &settings() const { return m_settings; }

private:
    void readSource(OptionReader &read);
    void readLive(OptionReader &read);
    void readStudy(OptionReader &read);
    void readOutput(OptionReader &read);

    StudySettings m_settings;
};

// The exit code of a study's outcome: 0 PASS, 1 FAIL, the others as for a run.
int exitCodeOf(const StudyOutcome &outcome);

// The arguments after "study linearity" (program name first): help text, an error line, or a
// command read and ready.
struct StudyInvocation
{
    enum class Kind { Run, Help, Error };
    Kind kind = Kind::Error;
    QString text;
    StudyLinearityCommand command;
};
StudyInvocation parseStudyInvocation(const QStringList &arguments);

// The program's work for "study linearity ARGS": help, an error line, or the study; the exit
// code. arguments is the whole command line, program name first.
int runStudyCommand(const QStringList &arguments, SignalWatcher *watcher);
