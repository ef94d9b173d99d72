#include "cli/linearitystudy.h"

#include "cli/devicerun.h"
#include "cli/junitreport.h"
#include "cli/linearitychart.h"
#include "cli/linearityreport.h"
#include "cli/output.h"
#include "cli/runreader.h"
#include "cli/studyrecording.h"
#include "toolsupport/optionvalues.h"
#include "toolsupport/signalwatcher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace rangefinder {

namespace {

// References and readings are lengths a distance meter can be aimed at, in any unit it shows.
constexpr double kLargestReference = 1e6;

QString now()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

bool stdinIsTerminal()
{
#ifdef Q_OS_WIN
    return ::_isatty(::_fileno(stdin));
#else
    return ::isatty(STDIN_FILENO);
#endif
}

// The readings of one saved run; why none in error.
std::optional<ReferenceReadings> readRun(double reference, const QString &path, LengthUnit unit,
                                         StudyRecording &recording, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    RunReader reader(&file);
    if (!reader.begin()) {
        *error = QStringLiteral("%1 is not a run: %2").arg(path, reader.errorString());
        return std::nullopt;
    }
    ReferenceReadings readings;
    readings.reference = reference;
    Measurement measurement;
    while (reader.next(measurement)) {
        addMeasurement(readings, measurement, unit);
        recording.add(measurement);
    }
    if (reader.skippedCount() > 0)
        complain(QStringLiteral("%1: %2 lines fit no known form, skipped")
                     .arg(path)
                     .arg(reader.skippedCount()));
    return readings;
}

StudyOutcome written(StudyOutcome outcome, Written result, const QString &what,
                     const QString &error)
{
    if (result == Written::Interrupted)
        outcome.signal = SignalWatcher::caughtSignal();
    else if (result == Written::Failed)
        complain(QStringLiteral("cannot write the %1: %2").arg(what, error));
    outcome.outputLost = outcome.outputLost || result != Written::Whole;
    return outcome;
}

SuiteReport suiteOf(const LinearityStudy &study, const StudySettings &settings,
                    const QString &start, const QString &source)
{
    const LinearityFit &fit = study.fit;
    SuiteReport suite{
        QStringLiteral("linearity study"), start, {}, study.criteria, linearitySummary(study)};
    suite.properties = {{QStringLiteral("source"), source},
                        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
                        {QStringLiteral("unit"), unitName(settings.unit)},
                        {QStringLiteral("references"), QString::number(study.references.size())},
                        {QStringLiteral("readings"), QString::number(fit.n)},
                        {QStringLiteral("start"), start},
                        {QStringLiteral("slope"), figureText(fit.slope.value)},
                        {QStringLiteral("slope p"), QString::number(fit.slope.p, 'f', 3)},
                        {QStringLiteral("intercept"), figureText(fit.intercept.value)},
                        {QStringLiteral("intercept p"), QString::number(fit.intercept.p, 'f', 3)},
                        {QStringLiteral("s"), figureText(fit.s)},
                        {QStringLiteral("%linearity"), figureText(*study.percentLinearity)}};
    if (study.linearity)
        suite.properties.append({QStringLiteral("linearity"), figureText(*study.linearity)});
    return suite;
}

// The JUnit file and the chart that the settings ask for; false when one was not written.
bool writeFiles(const LinearityStudy &study, const QVector<ReferenceReadings> &runs,
                const StudySettings &settings, const QString &start, const QString &source)
{
    bool whole = true;
    QString error;
    if (!settings.junitPath.isEmpty() &&
        !saveJUnit(settings.junitPath, {suiteOf(study, settings, start, source)}, &error)) {
        complain(
            QStringLiteral("cannot write the JUnit report %1: %2").arg(settings.junitPath, error));
        whole = false;
    }
    const LinearityChart chart(study, runs, unitName(settings.unit));
    if (!settings.plotPath.isEmpty() &&
        !chart.save(settings.plotPath, settings.plotType, settings.plotSize, &error)) {
        complain(QStringLiteral("cannot write the chart %1: %2").arg(settings.plotPath, error));
        whole = false;
    }
    return whole;
}

// The study's end kept in the store, with the line that says where before the report.
StudyOutcome kept(StudyOutcome outcome, StudyRecording &recording)
{
    QString line, error;
    if (!recording.finish(outcome, line))
        outcome.outputLost = true;
    else if (!line.isEmpty())
        outcome =
            written(outcome, writeWhole(stderr, line, &error), QStringLiteral("summary"), error);
    return outcome;
}

// The study of the runs: kept in the store, its report on stdout (and stderr), the JUnit file
// and the chart.
StudyOutcome reportStudy(const StudySettings &settings, const QVector<ReferenceReadings> &runs,
                         const QString &start, const QString &source, StudyRecording &recording)
{
    QString error;
    const std::optional<LinearityStudy> study = studyLinearity(runs, settings.study, &error);
    StudyOutcome outcome;
    if (!study) {
        complain(error + QStringLiteral(": no study"));
        outcome.failure = error;
        return kept(outcome, recording);
    }
    outcome.kind = StudyOutcome::Kind::Judged;
    outcome.passed = study->passed();
    outcome.study = study;
    outcome = kept(outcome, recording);
    const QString unit = unitName(settings.unit);
    const bool text = settings.format == RecordFormat::Text;
    const QString tables = text ? linearityTablesText(*study, unit) + linearitySummary(*study)
                                : linearityTables(*study, settings.format);
    outcome = written(outcome, writeWhole(stdout, tables, &error), QStringLiteral("report"), error);
    if (!text)
        outcome = written(outcome, writeWhole(stderr, linearitySummary(*study), &error),
                          QStringLiteral("verdict"), error);
    if (!writeFiles(*study, runs, settings, start, source))
        outcome.outputLost = true;
    return outcome;
}

// Each reference in turn on the port: the operator places the target, the device measures it
// --count times on a port opened for that reference alone.
class LiveStudy
{
public:
    LiveStudy(const StudySettings &settings, SignalWatcher *watcher);
    StudyOutcome run();

private:
    bool measureAt(double reference, QVector<ReferenceReadings> &runs);
    bool placeTarget(double reference);
    bool measure(ReferenceReadings &readings);
    void watch(DeviceRun &device, QEventLoop &loop, ReferenceReadings &readings);
    void fail(const QString &why);

    const StudySettings &m_settings;
    SignalWatcher *m_watcher;
    StudyRecording m_recording;
    StudyOutcome m_outcome;
};

LiveStudy::LiveStudy(const StudySettings &settings, SignalWatcher *watcher)
    : m_settings(settings), m_watcher(watcher),
      m_recording(settings, settings.session.portName, true)
{}

StudyOutcome LiveStudy::run()
{
    const QString start = now();
    m_recording.begin();
    QVector<ReferenceReadings> runs;
    for (double reference : m_settings.references) {
        if (!measureAt(reference, runs))
            return kept(m_outcome, m_recording);
    }
    return reportStudy(m_settings, runs, start, m_settings.session.portName, m_recording);
}

void LiveStudy::fail(const QString &why)
{
    complain(why);
    m_outcome.failure = why;
}

bool LiveStudy::measureAt(double reference, QVector<ReferenceReadings> &runs)
{
    ReferenceReadings readings;
    readings.reference = reference;
    bool measured = placeTarget(reference);
    if (measured) {
        m_recording.beginReference(reference);
        measured = measure(readings);
    }
    if (!measured) {
        if (m_outcome.signal != 0)
            fail(QStringLiteral("interrupted at reference %1 %2: no study")
                     .arg(figureText(reference), unitName(m_settings.unit)));
        return false;
    }
    m_recording.endReference();
    complain(QStringLiteral("reference %1 %2: %3 valid readings, %4 failed or timed out")
                 .arg(figureText(reference), unitName(m_settings.unit))
                 .arg(readings.readings.size())
                 .arg(readings.unsuccessful));
    runs << readings;
    return true;
}

// Only an operator at a terminal is asked; a script or a motorised rail has placed it.
bool LiveStudy::placeTarget(double reference)
{
    if (!stdinIsTerminal())
        return true;
    const QString where = figureText(reference) + QLatin1Char(' ') + unitName(m_settings.unit);
    writeWhole(stderr, QStringLiteral("Place the target at %1 and press Enter.\n").arg(where));
    char line[256];
    const bool entered = SignalWatcher::waitForInput(fileno(stdin)) &&
                         std::fgets(line, sizeof line, stdin) != nullptr;
    m_outcome.signal = SignalWatcher::caughtSignal();
    if (!entered && m_outcome.signal == 0)
        fail(QStringLiteral("stdin ended before the target was placed at %1: no study").arg(where));
    return entered && m_outcome.signal == 0;
}

bool LiveStudy::measure(ReferenceReadings &readings)
{
    DeviceRun device(m_settings.session);
    if (!device.open()) {
        fail(QStringLiteral("cannot open %1: %2")
                 .arg(m_settings.session.portName, device.openFailure()));
        m_outcome.kind = StudyOutcome::Kind::NotOpened;
        return false;
    }
    QEventLoop loop;
    watch(device, loop, readings);
    QTimer::singleShot(0, &device, &DeviceRun::start);
    loop.exec();
    return m_outcome.kind != StudyOutcome::Kind::Lost && m_outcome.signal == 0;
}

void LiveStudy::watch(DeviceRun &device, QEventLoop &loop, ReferenceReadings &readings)
{
    QObject::connect(&device, &DeviceRun::measured, &loop, [this, &readings](const Measurement &m) {
        addMeasurement(readings, m, m_settings.unit);
        m_recording.add(m);
    });
    QObject::connect(&device, &DeviceRun::lost, &loop, [this](const QString &reason) {
        fail(QStringLiteral("the device on %1 went away: %2")
                 .arg(m_settings.session.portName, reason));
        m_outcome.kind = StudyOutcome::Kind::Lost;
    });
    QObject::connect(&device, &DeviceRun::ended, &loop, &QEventLoop::quit);
    if (m_watcher)
        QObject::connect(m_watcher, &SignalWatcher::caught, &loop,
                         [this, &device, &loop](int signalNumber) {
                             m_outcome.signal = signalNumber;
                             device.stop();
                             loop.quit();
                         });
}

} // namespace

std::optional<QPair<double, QString>> savedRunFrom(const QString &text, QString *error)
{
    const int equals = text.indexOf(QLatin1Char('='));
    const std::optional<double> reference =
        equals > 0 ? numberIn(text.left(equals), 0, kLargestReference) : std::nullopt;
    if (!reference || equals + 1 >= text.size()) {
        *error = QStringLiteral("--run takes REF=FILE, a reference distance from 0 to %1 and a "
                                "saved run, not \"%2\"")
                     .arg(kLargestReference, 0, 'g', 6)
                     .arg(text);
        return std::nullopt;
    }
    return qMakePair(*reference, text.mid(equals + 1));
}

std::optional<QVector<double>> referencesFrom(const QString &text, QString *error)
{
    QVector<double> references;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const std::optional<double> reference = numberIn(part.trimmed(), 0, kLargestReference);
        if (!reference) {
            *error = QStringLiteral("--references takes distances from 0 to %1 separated by "
                                    "commas; \"%2\" is none")
                         .arg(kLargestReference, 0, 'g', 6)
                         .arg(part);
            return std::nullopt;
        }
        if (references.contains(*reference)) {
            *error = QStringLiteral("--references gives %1 twice").arg(figureText(*reference));
            return std::nullopt;
        }
        references << *reference;
    }
    return references;
}

void addMeasurement(ReferenceReadings &readings, const Measurement &measurement, LengthUnit unit)
{
    switch (measurement.status) {
    case Measurement::Status::Ok:
        // As the device and the records show it, six digits: a reading of 7.6 m is 7.6, not
        // the single-precision 7.5999999 it passed through, which would move the sixth digit
        // of a standard deviation.
        readings.readings << QString::number(distanceIn(measurement, unit), 'g', 6).toDouble();
        break;
    case Measurement::Status::Failed:
    case Measurement::Status::Timeout:
    case Measurement::Status::Rejected:
        ++readings.unsuccessful;
        break;
    case Measurement::Status::Disconnected:
        break;
    }
}

StudyOutcome studySavedRuns(const StudySettings &settings)
{
    QStringList files;
    for (const QPair<double, QString> &run : settings.savedRuns)
        files << run.second;
    const QString source = files.join(QStringLiteral(", "));
    const QString start = now();
    StudyRecording recording(settings, source, false);
    recording.begin();
    QVector<ReferenceReadings> runs;
    for (const QPair<double, QString> &run : settings.savedRuns) {
        QString error;
        recording.beginReference(run.first);
        const std::optional<ReferenceReadings> readings =
            readRun(run.first, run.second, settings.unit, recording, &error);
        if (!readings) {
            complain(error);
            StudyOutcome outcome;
            outcome.failure = error;
            return kept(outcome, recording);
        }
        recording.endReference();
        runs << *readings;
    }
    return reportStudy(settings, runs, start, source, recording);
}

StudyOutcome studyLive(const StudySettings &settings, SignalWatcher *watcher)
{
    return LiveStudy(settings, watcher).run();
}

} // namespace rangefinder
