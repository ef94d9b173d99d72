#include "readback.h"

#include "output.h"
#include "recordformat.h"
#include "runchart.h"
#include "runreader.h"

#include <QFile>

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

} // namespace

int readBack(const CliOptions &options)
{
    const bool standardInput = options.fromPath == QLatin1String("-");
    const QString name = standardInput ? QStringLiteral("stdin") : options.fromPath;
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
    RunChart chart(unit);
    const bool charting = !options.plotPath.isEmpty();
    BlockWriter out;
    bool written = out.write(recordHeader(options.format));
    Measurement measurement;
    while (written && reader.next(measurement)) {
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
    if (!(writeSummaryAndChart(options, chart, {statistics}) && recordsWritten))
        return kExitOutputLost;
    return exitCodeOf(statistics);
}

bool writeSummaryAndChart(const CliOptions &options, const RunChart &chart,
                          const QVector<RunStatistics> &statistics, const QStringList &ports)
{
    QString summary;
    for (int i = 0; i < statistics.size(); ++i) {
        const QString text = formatSummary(statistics.at(i));
        if (ports.isEmpty()) {
            summary += text;
            continue;
        }
        QStringList lines = text.split(QLatin1Char('\n'));
        lines.removeLast();
        for (const QString &line : lines)
            summary += ports.at(i) + QStringLiteral(": ") + line + QLatin1Char('\n');
    }
    const bool summaryWritten = writeWhole(stderr, summary) == Written::Whole;
    const bool chartWritten = writeChart(options, chart, statistics);
    return summaryWritten && chartWritten;
}
