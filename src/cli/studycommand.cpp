#include "cli/studycommand.h"

#include "cli/endingsignals.h"
#include "cli/helptexts.h"
#include "cli/options.h"

namespace rangefinder {

namespace {

using StudyRow = OptionRow<StudySettings>;

// A bound of the study, there once given.
Field<StudySettings, double> bound(std::optional<double> LinearitySettings::*member)
{
    return [member](StudySettings &settings) -> double & {
        std::optional<double> &value = settings.study.*member;
        return value ? *value : value.emplace();
    };
}

OptionValue<StudySettings> lengthOf(std::optional<double> LinearitySettings::*member)
{
    return aboveZero(bound(member), 1e9, QStringLiteral("a length above 0"));
}

// The study's own options; the line, pace and output ones are measure's.
const std::vector<StudyRow> kSourceRows = {
    {"run", "REF=FILE",
     "A saved run of the target at the reference distance REF (in --unit): a log saved by the "
     "window, or CSV or JSONL of measure, read as read reads it. One per reference; not with "
     "--port."},
    {"port", "name-or-path",
     "Measure live on this serial port instead, each of --references in turn."},
    {"references", "list",
     "The reference distances to measure live, in --unit, separated by commas (2,4,6,8,10)."},
    {"count", "n", "Measurements at each reference, from 1 (default %1).",
     wholeNumber(field(&StudySettings::session, &SessionSettings::count), 1, 1000000)},
};

const std::vector<StudyRow> kStudyRows = {
    {"process-sigma", "S",
     "The process's standard deviation, in --unit: linearity = |slope| x 6S is reported.",
     lengthOf(&LinearitySettings::processSigma)},
    {"tolerance", "T", "Each reference's mean bias is also shown as a percentage of 2T.",
     lengthOf(&LinearitySettings::tolerance)},
    {"max-bias", "B", "Every reference's mean bias must lie within +/- B to pass.",
     lengthOf(&LinearitySettings::maxBias)},
    {"junit", "file", "Write the verdict as JUnit XML, a testcase per criterion."},
    {"results", "url",
     "Keep the study in a results store, as measure keeps a run (sqlite:PATH, "
     "postgresql://[user@]host[:port]/dbname, or none): a run of kind linearity holding a run "
     "per reference. A live study is kept without it, where station runs go; a study of saved "
     "runs only when it is given."},
};

const std::vector<OptionRow<CliOptions>> &sharedRows()
{
    static const std::vector<OptionRow<CliOptions>> rows =
        measureRowsNamed({"baud", "interval", "timeout", "strict", "unit", "format", "plot",
                          "plot-format", "plot-size"});
    return rows;
}

std::vector<OptionHelp> studyOptionHelp()
{
    std::vector<OptionHelp> all = helpOf(kSourceRows);
    for (const OptionHelp &row : helpOf(sharedRows()))
        all.push_back(row);
    for (const OptionHelp &row : helpOf(kStudyRows))
        all.push_back(row);
    for (const OptionHelp &row : helpOf(measureRowsNamed({"station", "operator", "serial"})))
        all.push_back(row);
    return all;
}

void readSource(OptionReader &read, StudySettings &settings)
{
    const bool live = read.isSet("port");
    if (live == read.isSet("run"))
        return read.fail(QStringLiteral("give either --run REF=FILE for each reference, or "
                                        "--port with --references"));
    QString error;
    for (const QString &run : read.texts("run")) {
        const std::optional<QPair<double, QString>> saved = savedRunFrom(run, &error);
        if (!saved)
            return read.fail(error);
        settings.savedRuns << *saved;
    }
    if (!live && (read.isSet("references") || read.isSet("count")))
        return read.fail(QStringLiteral("--references and --count are for a live study, with "
                                        "--port"));
    settings.session.portName = read.text("port");
    const std::optional<QVector<double>> references =
        read.isSet("references") ? referencesFrom(read.text("references"), &error) : std::nullopt;
    if (live && !references)
        return read.fail(error.isEmpty() ? QStringLiteral("--port needs --references") : error);
    settings.references = references.value_or(QVector<double>());
}

void readStudy(OptionReader &read, StudySettings &settings)
{
    read.refuseOperands();
    CliOptions shared;
    readChartOptions(read, sharedRows(), shared);
    settings.session = shared.session;
    settings.session.count = StudySettings().session.count; // measure's is not the study's
    settings.unit = shared.session.unit;
    settings.format = shared.format;
    settings.plotPath = shared.plotPath;
    settings.plotType = shared.plotType;
    settings.plotSize = shared.plotSize;
    settings.junitPath = read.text("junit");
    if (read.error().isEmpty())
        readSource(read, settings);
    readRows(read, kSourceRows, settings);
    readRows(read, kStudyRows, settings);
    if (read.error().isEmpty())
        readRecordingOptions(read, settings.recording, settings.savedRuns.isEmpty());
}

RunOutcome runStudy(const StudySettings &settings)
{
    SignalWatcher *watcher = watchEndingSignals();
    return outcomeOf(settings.savedRuns.isEmpty() ? studyLive(settings, watcher)
                                                  : studySavedRuns(settings));
}

} // namespace

std::unique_ptr<Command> makeStudyLinearityCommand()
{
    CommandText text{
        "study linearity",
        QStringLiteral("a gauge linearity and bias study: does the bias change across the "
                       "range?"),
        QStringLiteral(
            "Measures, or reads saved runs of, targets at several known distances across the "
            "range\n"
            "and asks whether the device's bias changes with the distance: per reference the mean\n"
            "bias with its t test, the least-squares line bias = a + b x reference with its 95 %\n"
            "confidence band, and the verdict: PASS when neither slope nor intercept is "
            "significant\n"
            "(p >= 0.05), every mean bias is within --max-bias and no measurement failed. Live, "
            "each\n"
            "reference is measured in turn; when stdin is a terminal the operator is asked to "
            "place\n"
            "the target and press Enter. The tables go to stdout (--format csv or jsonl: only "
            "they,\n"
            "the rest to stderr). Exit code 0 for PASS, 1 for FAIL, 2 when no study can be made\n"
            "(fewer than two references, a reference twice, fewer than two valid readings at "
            "one).\n"
            "A live study is kept in the results store as a station run is (--results).\n"),
        exitCodesText()};
    return std::make_unique<CommandOf<StudySettings>>(std::move(text), studyOptionHelp(), readStudy,
                                                      runStudy);
}

RunOutcome outcomeOf(const StudyOutcome &study)
{
    RunOutcome outcome;
    outcome.signal = study.signal;
    outcome.outputLost = study.outputLost;
    DeviceEnding device;
    switch (study.kind) {
    case StudyOutcome::Kind::NoStudy:
        outcome.badOptions = true;
        return outcome;
    case StudyOutcome::Kind::Judged:
        device.passed = study.passed;
        break;
    case StudyOutcome::Kind::NotOpened:
        device.kind = DeviceEnding::Kind::NotOpened;
        break;
    case StudyOutcome::Kind::Lost:
        device.kind = DeviceEnding::Kind::Lost;
        break;
    }
    outcome.devices << device;
    return outcome;
}

} // namespace rangefinder
