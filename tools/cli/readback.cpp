#include "readback.h"

#include "output.h"
#include "recordformat.h"
#include "runchart.h"
#include "runreader.h"

#include <QFile>

namespace {

// Records of a file go out in blocks; one write per record would cost more than the reading.
class BlockWriter
{
public:
    ~BlockWriter() { flush(); }
    void write(const QString &text)
    {
        m_bytes += text.toUtf8();
        if (m_bytes.size() >= 64 * 1024)
            flush();
    }
    void flush()
    {
        std::fwrite(m_bytes.constData(), 1, static_cast<size_t>(m_bytes.size()), stdout);
        std::fflush(stdout);
        m_bytes.clear();
    }

private:
    QByteArray m_bytes;
};

QString clipped(const QString &line)
{
    return line.size() <= 60 ? line : line.left(60) + QChar(0x2026);
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
    {
        BlockWriter out;
        out.write(recordHeader(options.format));
        Measurement measurement;
        while (reader.next(measurement)) {
            out.write(formatRecord(measurement, options.format, unit));
            statistics.add(measurement);
            if (charting)
                chart.add(measurement);
        }
    }
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
    writeWhole(stderr, formatSummary(statistics));
    writeChart(options, chart, statistics);
    return statistics.allOk() ? kExitAllMeasured : kExitSomeFailed;
}

void writeChart(const CliOptions &options, const RunChart &chart, const RunStatistics &statistics)
{
    if (options.plotPath.isEmpty())
        return;
    QString error;
    if (!chart.save(options.plotPath, options.plotSize, statistics, &error))
        complain(QStringLiteral("cannot write the chart %1: %2").arg(options.plotPath, error));
}
