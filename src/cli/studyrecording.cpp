#include "cli/studyrecording.h"

#include <QDateTime>

#include <cmath>

namespace rangefinder {

namespace {

StoredOutcome storedOutcomeOf(const StudyOutcome &outcome)
{
    if (outcome.signal != 0)
        return StoredOutcome::Aborted;
    if (outcome.kind != StudyOutcome::Kind::Judged)
        return StoredOutcome::Error;
    return outcome.passed ? StoredOutcome::Pass : StoredOutcome::Fail;
}

std::optional<double> unlessNan(double value)
{
    return std::isnan(value) ? std::nullopt : std::optional<double>(value);
}

void addFigures(RunRow &run, const LinearityStudy &study)
{
    const LinearityFit &fit = study.fit;
    run.n = fit.n;
    run.slope = fit.slope.value;
    run.slopeP = fit.slope.p;
    run.intercept = fit.intercept.value;
    run.interceptP = fit.intercept.p;
    run.rSquared = unlessNan(fit.rSquared);
    run.reasons = failedCriteria(study.criteria);
}

void addFigures(RunRow &run, const ReferenceBias &reference)
{
    run.n = reference.n;
    run.mean = reference.reference + reference.bias.value;
    run.bias = reference.bias.value;
    run.sd = reference.sd;
}

} // namespace

StudyRecording::StudyRecording(const StudySettings &settings, const QString &device, bool live)
    : m_settings(settings), m_device(device), m_live(live)
{}

StudyRecording::~StudyRecording() = default;

std::unique_ptr<RunRecording> StudyRecording::runOf(const QString &kind) const
{
    auto run = std::make_unique<RunRecording>(m_settings.recording, m_device, m_live, kind,
                                              m_settings.unit);
    run->row().tolerance = m_settings.study.tolerance;
    return run;
}

void StudyRecording::begin()
{
    if (m_settings.recording.store.kind == StoreLocation::Kind::None)
        return;
    m_study = runOf(QLatin1String(kLinearityRun));
    if (!m_study->begin()) {
        m_study.reset();
        m_failed = true;
    }
}

void StudyRecording::beginReference(double reference)
{
    m_inReference = true;
    if (!m_study)
        return;
    std::unique_ptr<RunRecording> run = runOf(QLatin1String(kLinearityReferenceRun));
    run->row().reference = reference;
    run->setPartOf(m_study->row().runId);
    run->begin();
    m_references.emplace_back(reference, std::move(run));
}

void StudyRecording::add(const Measurement &measurement)
{
    if (m_study && !m_references.empty())
        m_references.back().second->add(measurement);
}

bool StudyRecording::finish(const StudyOutcome &outcome, QString &summaryLine)
{
    if (!m_study)
        return !m_failed;
    const StoredOutcome stored = storedOutcomeOf(outcome);
    const bool partsKept = finishReferences(outcome, stored);
    m_study->row().ended = QDateTime::currentDateTimeUtc(); // it has no measurements of its own
    if (outcome.study)
        addFigures(m_study->row(), *outcome.study);
    else
        m_study->row().reasons = outcome.failure;
    const bool kept = m_study->finish(stored, summaryLine);
    m_study.reset();
    return kept && partsKept;
}

// A reference measured through is DONE, with its figures once there is a study; the one the
// study ended in ends as the study did.
bool StudyRecording::finishReferences(const StudyOutcome &outcome, StoredOutcome study)
{
    bool kept = true;
    for (size_t i = 0; i < m_references.size(); ++i) {
        RunRecording &run = *m_references[i].second;
        if (outcome.study) {
            for (const ReferenceBias &reference : outcome.study->references) {
                if (reference.reference == m_references[i].first)
                    addFigures(run.row(), reference);
            }
        }
        const bool endedIn = m_inReference && i + 1 == m_references.size();
        QString line;
        kept = run.finish(endedIn ? study : StoredOutcome::Done, line) && kept;
    }
    m_references.clear();
    return kept;
}

} // namespace rangefinder
