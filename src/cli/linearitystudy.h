#pragma once

#include "cli/linearity.h"
#include "cli/measurementsession.h"
#include "cli/recordformat.h"
#include "cli/recordingsettings.h"
#include "cli/runchart.h"

#include <QPair>
#include <QSize>
#include <QString>
#include <QVector>

namespace rangefinder {

class SignalWatcher;

// A session that takes count measurements (at each reference, for a study).
inline SessionSettings counting(int count)
{
    SessionSettings session;
    session.count = count;
    return session;
}

// What `study linearity` is asked to do: saved runs, or references measured live on a port.
struct StudySettings
{
    LengthUnit unit = LengthUnit::Metre;       // of references, readings and the report
    QVector<QPair<double, QString>> savedRuns; // --run REF=FILE
    QVector<double> references;                // live, in this order
    SessionSettings session = counting(10);    // live: port, line, pace, count per reference
    LinearitySettings study;
    RecordFormat format = RecordFormat::Text;
    QString plotPath;
    RunChart::FileType plotType = RunChart::FileType::Png;
    QSize plotSize{1200, 600};
    QString junitPath;
    RecordingSettings recording; // where the study is kept, if anywhere
};

// How a study ended, from which the exit code follows.
struct StudyOutcome
{
    enum class Kind {
        Judged,    // a study was made: passed says how it came out
        NoStudy,   // an input cannot be read, or the readings make no study
        NotOpened, // the port cannot be opened
        Lost,      // the device went away while measuring
    };
    Kind kind = Kind::NoStudy;
    bool passed = false;
    bool outputLost = false; // the report, the chart or the JUnit file could not be written
    int signal = 0;          // the signal that ended it, 0 for none
    std::optional<LinearityStudy> study; // once judged
    QString failure;                     // why there is no study
};

// "REF=FILE" of --run, REF a distance; why not in error.
std::optional<QPair<double, QString>> savedRunFrom(const QString &text, QString *error);
// "2,4,6" of --references: distances, each at most once; why not in error.
std::optional<QVector<double>> referencesFrom(const QString &text, QString *error);

// A valid measurement's distance in unit to the readings; a failed, rejected or timed-out one
// counted; a disconnection neither.
void addMeasurement(ReferenceReadings &readings, const Measurement &measurement, LengthUnit unit);

// Reads each --run file as `read` reads it, then reports.
StudyOutcome studySavedRuns(const StudySettings &settings);
// Measures each reference in turn on the port, asking the operator to place the target when
// stdin is a terminal, then reports. Runs an event loop of its own; a signal that the watcher
// (if any) catches ends it without a study.
StudyOutcome studyLive(const StudySettings &settings, SignalWatcher *watcher);

} // namespace rangefinder
