#pragma once

#include "cli/linearitystudy.h"
#include "cli/runrecording.h"

#include <QString>

#include <memory>
#include <utility>
#include <vector>

namespace rangefinder {

// A study kept in a results store: a run of kind linearity with the line's figures and the
// verdict, and under it a run per reference with that reference's measurements and figures.
// Each run's row is written as it begins, so that a study killed on the way shows as ABORTED
// with what it had. With no store in the settings, nothing is kept and every call is cheap.
class StudyRecording
{
public:
    // device: the port measured, or the saved runs read.
    StudyRecording(const StudySettings &settings, const QString &device, bool live);
    ~StudyRecording();
    StudyRecording(const StudyRecording &) = delete;
    StudyRecording &operator=(const StudyRecording &) = delete;

    // Says on stderr why the store cannot keep the study; the study goes on without it.
    void begin();
    // The next reference's run, which the measurements added go to until endReference().
    void beginReference(double reference);
    void add(const Measurement &measurement);
    void endReference() { m_inReference = false; }
    // Every run's outcome and figures as the study came out. The study's line for the summary
    // (where it was kept), or a complaint on stderr and false when it could not be kept.
    bool finish(const StudyOutcome &outcome, QString &summaryLine);

private:
    std::unique_ptr<RunRecording> runOf(const QString &kind) const;
    bool finishReferences(const StudyOutcome &outcome, StoredOutcome study);

    const StudySettings &m_settings;
    QString m_device;
    bool m_live;
    std::unique_ptr<RunRecording> m_study; // none while the store cannot keep it
    std::vector<std::pair<double, std::unique_ptr<RunRecording>>> m_references;
    bool m_inReference = false; // the last reference's run is not through yet
    bool m_failed = false;      // the store could not keep the study from its start
};

} // namespace rangefinder
