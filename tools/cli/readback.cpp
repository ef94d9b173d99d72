#include "readback.h"

#include "accuracy.h"
#include "junitreport.h"
#include "output.h"
#include "recordformat.h"
#include "runchart.h"
#include "runreader.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>

namespace {

// Records of a file go out in blocks of whole records; one write per record would cost more
// than the reading. A block that cannot be written is taken back whole.
class BlockWriter
{
public:
    bool write(const QString &text)
    {
        m_text += text;
        return m_text.size() < 32 * 1024 || flush();
    }
    bool flush()
    {
        const Written written = writeWhole(stdout, m_text, &m_error);
        m_text.clear();
        return written == Written::Whole;
    }
    QString errorString() const { return m_error; }

private:
    QString m_text;
    QString m_error;
};

// The file a run is read from, as messages name it.
QString sourceName(const CliOptions &options)
{
    return options.fromPath == QLatin1String("-") ? QStringLiteral("stdin") : options.fromPath;
}

QString clipped(const QString &line)
{
    return line.size() <= 60 ? line : line.left(60) + QChar(0x2026);
}

// The chart that --plot asks for, if any; says why on stderr and returns false when it cannot.
bool writeChart(const CliOptions &options, const RunChart &chart,
                const QVector<RunStatistics> &statistics)
{
    if (options.plotPath.isEmpty())
        return true;
    QString error;
    if (chart.save(options.plotPath, options.plotSize, statistics, &error))
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
                 const QVector<Verdict> &verdicts, const QString &start)
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
        } else {
            device.properties = {{QStringLiteral("file"), device.device}};
        }
        device.properties.append(
            {QStringLiteral("version"), QCoreApplication::applicationVersion()});
        reports.append(device);
    }
    QString error;
    if (saveJUnit(options.junitPath, reports, &error))
        return true;
    complain(QStringLiteral("cannot write the report %1: %2").arg(options.junitPath, error));
    return false;
}

} // namespace

int readBack(const CliOptions &options)
{
    const bool standardInput = options.fromPath == QLatin1String("-");
    const QString name = sourceName(options);
    QFile file(options.fromPath);
    if (!(standardInput ? file.open(stdin, QIODevice::ReadOnly) : file.open(QIODevice::ReadOnly))) {
        complain(QStringLiteral("cannot read %1: %2").arg(name, file.errorString()));
        return kExitBadOptions;
    }
    RunReader reader(&file);
    if (!reader.begin()) {
        complain(QStringLiteral("%1 is not a run: %2").arg(name, reader.errorString()));
        return kExitBadOptions;
    }

    const LengthUnit unit = options.session.unit;
    RunStatistics statistics;
    RunChart chart = chartFor(options);
    const bool charting = !options.plotPath.isEmpty();
    BlockWriter out;
    bool written = out.write(recordHeader(options.format));
    Measurement measurement;
    QString start;
    while (written && reader.next(measurement)) {
        if (start.isEmpty())
            start = recordTimeText(measurement);
        written = out.write(formatRecord(measurement, options.format, unit));
        statistics.add(measurement);
        if (charting)
            chart.add(measurement);
    }
    // As in a live run, lost records end the reading but not the summary and the chart.
    const bool recordsWritten = written && out.flush();
    if (!recordsWritten)
        complain(QStringLiteral("cannot write the records: %1").arg(out.errorString()));
    statistics.unsent = reader.unsentCount();

    for (const RunReader::SkippedLine &line : reader.firstSkipped())
        complain(QStringLiteral("%1 line %2 fits no known form, skipped: %3")
                     .arg(name)
                     .arg(line.number)
                     .arg(clipped(line.text)));
    if (reader.skippedCount() > reader.firstSkipped().size())
        complain(QStringLiteral("%1: %2 more lines skipped")
                     .arg(name)
                     .arg(reader.skippedCount() - reader.firstSkipped().size()));
    const DeviceOutcome device{name, statistics,
                               statistics.allOk() ? kExitAllMeasured : kExitSomeFailed};
    const int exitCode = concludeRun(options, chart, {device}, start, kExitAllMeasured);
    return recordsWritten ? exitCode : kExitOutputLost;
}

RunChart chartFor(const CliOptions &options, const QStringList &deviceNames)
{
    RunChart chart(options.session.unit, deviceNames);
    if (options.accuracy)
        chart.setReference(options.accuracy->reference, options.accuracy->tolerance);
    return chart;
}

int concludeRun(const CliOptions &options, const RunChart &chart,
                const QVector<DeviceOutcome> &devices, const QString &start, int runExitCode)
{
    const bool several = options.ports.size() > 1; // as the records carry their port
    QString text;
    QVector<RunStatistics> statistics;
    QVector<Verdict> verdicts;
    int exitCode = runExitCode;
    for (const DeviceOutcome &device : devices) {
        QString own = formatSummary(device.statistics);
        int deviceExit = device.exitCode;
        if (options.accuracy) {
            verdicts.append(judge(device.statistics, *options.accuracy));
            own += formatVerdict(verdicts.constLast(), *options.accuracy);
            if (deviceExit <= kExitSomeFailed)
                deviceExit = verdicts.constLast().passed() ? kExitAllMeasured : kExitSomeFailed;
        }
        text += prefixed(own, several ? device.name : QString());
        statistics.append(device.statistics);
        exitCode = std::max(exitCode, deviceExit);
    }
    const bool summaryWritten = writeWhole(stderr, text) == Written::Whole;
    const bool chartWritten = writeChart(options, chart, statistics);
    const bool reportWritten = !options.accuracy || writeReport(options, devices, verdicts, start);
    if (!(summaryWritten && chartWritten && reportWritten) && exitCode < kExitSignalBase)
        return kExitOutputLost;
    return exitCode;
}
