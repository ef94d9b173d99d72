#include "cli/runend.h"

#include "cli/accuracy.h"
#include "cli/junitreport.h"
#include "cli/output.h"
#include "cli/portaccess.h"
#include "cli/runrecording.h"

#include <QCoreApplication>

namespace rangefinder {

namespace {

// The chart that --plot asks for, if any; says why on stderr and returns false when it cannot.
bool writeChart(const CliOptions &options, const RunChart &chart,
                const QVector<RunStatistics> &statistics, const QStringList &verdicts)
{
    if (options.plotPath.isEmpty())
        return true;
    QString error;
    QByteArray bytes;
    if (chart.encode(options.plotType, options.plotSize, statistics, bytes, &error, verdicts) &&
        saveOutput(options.plotPath, bytes, &error))
        return true;
    complain(QStringLiteral("cannot write the chart %1: %2").arg(options.plotPath, error));
    return false;
}

// With several devices every line of a device's text begins with its name.
QString prefixed(const QString &text, const QString &name)
{
    if (name.isEmpty())
        return text;
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeLast();
    QString result;
    for (const QString &line : qAsConst(lines))
        result += name + QStringLiteral(": ") + line + QLatin1Char('\n');
    return result;
}

// The JUnit report that --junit asks for, if any; says why on stderr and returns false when it
// cannot be written.
bool writeReport(const CliOptions &options, const QVector<DeviceOutcome> &devices,
                 const QVector<Verdict> &verdicts, const QString &start, bool recordsLost)
{
    if (options.junitPath.isEmpty())
        return true;
    QVector<DeviceReport> reports;
    for (int i = 0; i < devices.size(); ++i) {
        DeviceReport device{devices.at(i).name, start, *options.accuracy, verdicts.at(i), {}};
        if (options.fromPath.isEmpty()) {
            device.properties = {
                {QStringLiteral("port"), device.device},
                {QStringLiteral("baud"), QString::number(options.session.baudRate)}};
        } else if (devices.size() > 1) {
            device.properties = {{QStringLiteral("file"), options.fromPath},
                                 {QStringLiteral("port"), device.device}};
        } else {
            device.properties = {{QStringLiteral("file"), device.device}};
        }
        device.properties.append(
            {QStringLiteral("version"), QCoreApplication::applicationVersion()});
        if (recordsLost)
            device.error = QStringLiteral("the run could not be recorded: its records were not "
                                          "all written");
        reports.append(device);
    }
    QString error;
    if (saveOutput(options.junitPath, junitXml(reports), &error))
        return true;
    complain(QStringLiteral("cannot write the report %1: %2").arg(options.junitPath, error));
    return false;
}

// A chart's title line for a verdict: PASS, or FAIL and the criteria not met.
QString verdictTitle(const Verdict &verdict, const QString &device)
{
    QStringList failed;
    for (const Criterion &criterion : verdict.criteria) {
        if (!criterion.passed())
            failed << criterion.name;
    }
    const QString text =
        failed.isEmpty()
            ? QStringLiteral("PASS")
            : QStringLiteral("FAIL, not met: %1").arg(failed.join(QStringLiteral(", ")));
    return device.isEmpty() ? text : device + QStringLiteral(": ") + text;
}

// A device that never opened fails the one criterion it reached, so that a report of the
// station still names it.
Verdict notOpened(const QString &reason)
{
    Verdict v;
    v.criteria = {{QStringLiteral("port opens"), QStringLiteral("cannot open: %1").arg(reason)}};
    return v;
}

} // namespace

DeviceEnding endingOf(const RunStatistics &statistics, DeviceEnding::Kind kind)
{
    DeviceEnding ending;
    ending.kind = kind;
    ending.allOk = statistics.allOk();
    ending.endedAway = statistics.endedAway;
    return ending;
}

RunChart chartFor(const CliOptions &options, const QStringList &deviceNames)
{
    RunChart chart(options.session.unit, deviceNames);
    if (options.accuracy)
        chart.setReference(options.accuracy->reference, options.accuracy->tolerance);
    return chart;
}

void concludeRun(const CliOptions &options, const RunChart &chart,
                 const QVector<DeviceOutcome> &devices, const QString &start, RunOutcome &outcome)
{
    const bool several = devices.size() > 1; // as the records carry their port
    QString text;
    QVector<RunStatistics> statistics;
    QVector<Verdict> verdicts;
    QStringList verdictTitles;
    const bool recordsLost = outcome.outputLost;
    for (const DeviceOutcome &device : devices) {
        DeviceEnding ending = device.ending;
        if (!device.openFailure.isEmpty()) {
            if (options.accuracy)
                verdicts.append(notOpened(device.openFailure));
            outcome.devices.append(ending);
            continue;
        }
        // Where the run is kept goes before the verdict, whose PASS or FAIL stays the last line.
        QString own = formatSummary(device.statistics);
        QString verdictText;
        if (options.accuracy) {
            verdicts.append(judge(device.statistics, *options.accuracy));
            verdictText = formatVerdict(verdicts.constLast(), *options.accuracy);
            ending.passed = verdicts.constLast().passed();
            verdictTitles << verdictTitle(verdicts.constLast(), several ? device.name : QString());
        }
        if (device.recording) {
            QString kept;
            if (!device.recording->finish(device.statistics,
                                          options.accuracy ? &verdicts.constLast() : nullptr,
                                          ending, outcome.signal, kept))
                outcome.outputLost = true;
            own += kept;
        }
        own += verdictText;
        text += prefixed(own, several ? device.name : QString());
        statistics.append(device.statistics);
        outcome.devices.append(ending);
    }
    const bool summaryWritten = writeWhole(stderr, text) == Written::Whole;
    const bool chartWritten = writeChart(options, chart, statistics, verdictTitles);
    const bool reportWritten =
        !options.accuracy || writeReport(options, devices, verdicts, start, recordsLost);
    if (!(summaryWritten && chartWritten && reportWritten))
        outcome.outputLost = true;
}

QString fileClash(const CliOptions &options)
{
    // Opened twice, the port would be refused as busy, as if another program had it.
    QStringList ports;
    for (const QString &port : options.ports)
        ports << portPath(port);
    const QPair<int, int> same = sameFiles(ports);
    if (same.first >= 0)
        return QStringLiteral("--port %1 is given twice: it is the port %2 as well")
            .arg(options.ports.at(same.second), options.ports.at(same.first));
    return fileClash({QStringLiteral("--from"), options.fromPath},
                     {{QStringLiteral("--plot"), options.plotPath},
                      {QStringLiteral("--junit"), options.junitPath}});
}

std::optional<RunOutcome> refusedForClash(const CliOptions &options)
{
    const QString clash = fileClash(options);
    if (clash.isEmpty())
        return std::nullopt;
    complain(clash);
    RunOutcome outcome;
    outcome.badOptions = true;
    return outcome;
}

} // namespace rangefinder
