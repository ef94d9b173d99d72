#include "cli/readback.h"

#include "cli/output.h"
#include "cli/recordformat.h"
#include "cli/runchart.h"
#include "cli/runend.h"
#include "cli/runreader.h"
#include "cli/runrecording.h"
#include "toolsupport/signalwatcher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <QPair>
#include <QStringList>
#include <QVector>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_WIN
#include <io.h>
#endif

#include <algorithm>
#include <memory>

namespace rangefinder {

namespace {

// A file, a FIFO or standard input, read so that a signal ends a read that waits for more (a
// pipe whose writer is slow, a terminal) as it ends a live run.
class Input : public QIODevice
{
public:
    // Takes fd over; -1 gives an input that has nothing.
    explicit Input(int fd) : m_fd(fd) { open(QIODevice::ReadOnly); }
    ~Input() override
    {
        if (m_fd > STDIN_FILENO)
            ::close(m_fd);
    }
    bool isSequential() const override { return true; }
    bool failed() const { return m_failed; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        // QIODevice asks for nothing at times, and must not wait for it.
        if (maxSize <= 0 || m_fd < 0)
            return m_fd < 0 ? -1 : 0;
        while (SignalWatcher::waitForInput(m_fd)) {
            const ssize_t n = ::read(m_fd, data, size_t(maxSize));
            if (n >= 0)
                return n > 0 ? n : -1;
            if (errno != EINTR && errno != EAGAIN) {
                m_failed = true;
                setErrorString(qt_error_string(errno));
                return -1;
            }
        }
        return -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    int m_fd;
    bool m_failed = false;
};

// Records of a file go out in blocks of whole records; one write per record would cost more
// than the reading. Of a block that cannot be written, only a record cut short is taken back.
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

// The first record and the time of the last.
struct Span
{
    Measurement first;
    QDateTime last;
};

// When the run began, ISO 8601. A window log has times of day only: its last day is taken as
// the day it was saved (the input's modification time), so that the first is a date as well.
QString startOf(const Span &span, int fd)
{
    if (!span.first.timeOfDayOnly)
        return recordTimeText(span.first);
    struct stat status = {};
    const QDateTime saved = ::fstat(fd, &status) == 0
                                ? QDateTime::fromSecsSinceEpoch(status.st_mtime)
                                : QDateTime::currentDateTime();
    const qint64 dayMs = 24 * 3600 * 1000;
    const qint64 days =
        span.last.toMSecsSinceEpoch() / dayMs - span.first.time.toMSecsSinceEpoch() / dayMs;
    return QDateTime(saved.date().addDays(-days), span.first.time.time())
        .toString(Qt::ISODateWithMs);
}

QString clipped(const QString &line)
{
    return line.size() <= 60 ? line : line.left(60) + QChar(0x2026);
}

// What a run read back holds: its span, and each device's statistics by the port its records
// carry (one device without a port when they carry none), in the order their first record came;
// with a results store, each device's run kept there as it is read.
struct Reading
{
    const CliOptions &options;
    QString name; // of the file, the device's name when the records carry no port
    Span span;
    QStringList ports;
    QVector<RunStatistics> statistics;
    std::vector<std::unique_ptr<RunRecording>> recordings;
    QVector<QPair<Measurement, int>> charted; // with --plot: every record and its device

    int deviceOf(const QString &port)
    {
        int device = int(ports.indexOf(port));
        if (device < 0) {
            device = ports.size();
            ports << port;
            statistics.append(RunStatistics());
            recordings.push_back(recordingFor(port));
        }
        return device;
    }

    std::unique_ptr<RunRecording> recordingFor(const QString &port) const
    {
        if (options.recording.store.kind == StoreLocation::Kind::None)
            return nullptr;
        auto recording = std::make_unique<RunRecording>(
            options.recording, port.isEmpty() ? name : port, false, options);
        recording->begin();
        return recording;
    }
};

// The chart once every device is known: a series each, as the live run drew them.
RunChart chartOf(const CliOptions &options, const Reading &reading)
{
    const bool several = reading.ports.size() > 1;
    RunChart chart = chartFor(options, several ? reading.ports : QStringList());
    for (const auto &[measurement, device] : reading.charted)
        chart.add(measurement, several ? device : 0);
    return chart;
}

// The records to stdout, into the summary, the store and the chart, each with its port as the
// live run wrote it. As in a live run, records that cannot be written end the reading (said on
// stderr unless a signal stopped the write), but not the summary and the chart.
bool copyRecords(const CliOptions &options, RunReader &reader, Reading &reading)
{
    BlockWriter out;
    bool written = out.write(recordHeader(options.format, reader.carriesPorts()));
    Measurement measurement;
    QString port;
    while (written && reader.next(measurement, &port)) {
        if (!reading.span.first.time.isValid())
            reading.span.first = measurement;
        reading.span.last = measurement.time;
        written = out.write(formatRecord(measurement, options.format, options.session.unit, port));
        const int device = reading.deviceOf(port);
        reading.statistics[device].add(measurement);
        if (RunRecording *recording = reading.recordings[size_t(device)].get())
            recording->add(measurement);
        if (!options.plotPath.isEmpty())
            reading.charted.append({measurement, device});
    }
    written = written && out.flush();
    if (!written && SignalWatcher::caughtSignal() == 0)
        complain(QStringLiteral("cannot write the records: %1").arg(out.errorString()));
    return written;
}

void reportSkipped(const RunReader &reader, const QString &name)
{
    for (const RunReader::SkippedLine &line : reader.firstSkipped())
        complain(QStringLiteral("%1 line %2 fits no known form, skipped: %3")
                     .arg(name)
                     .arg(line.number)
                     .arg(clipped(line.text)));
    if (reader.skippedCount() > reader.firstSkipped().size())
        complain(QStringLiteral("%1: %2 more lines skipped")
                     .arg(name)
                     .arg(reader.skippedCount() - reader.firstSkipped().size()));
}

// The input's descriptor, -1 with errno when it cannot be opened. Opening a FIFO waits for its
// writer, as long as no signal comes. Windows reads bytes only when told, or it would turn line
// ends and stop at a ^Z.
int openInput(const QString &path, bool standardInput)
{
#ifdef Q_OS_WIN
    if (standardInput)
        return ::_setmode(::_fileno(stdin), _O_BINARY) < 0 ? -1 : ::_fileno(stdin);
    return ::_wopen(reinterpret_cast<const wchar_t *>(path.utf16()), _O_RDONLY | _O_BINARY);
#else
    return standardInput ? STDIN_FILENO
                         : ::open(bytesOfName(path).constData(), O_RDONLY | O_CLOEXEC);
#endif
}

} // namespace

RunOutcome readBack(const CliOptions &options)
{
    const bool standardInput = options.fromPath == QLatin1String("-");
    const QString name = standardInput ? QStringLiteral("stdin") : options.fromPath;
    RunOutcome outcome;
    const int fd = openInput(options.fromPath, standardInput);
    if (fd < 0 && SignalWatcher::caughtSignal() == 0) {
        complain(QStringLiteral("cannot read %1: %2").arg(name, qt_error_string(errno)));
        outcome.badOptions = true;
        return outcome;
    }
    Input input(fd);
    RunReader reader(&input);
    if (fd >= 0 && !reader.begin() && SignalWatcher::caughtSignal() == 0) {
        complain(input.failed()
                     ? QStringLiteral("cannot read %1: %2").arg(name, input.errorString())
                     : QStringLiteral("%1 is not a run: %2").arg(name, reader.errorString()));
        outcome.badOptions = true;
        return outcome;
    }

    Reading reading{options, name};
    const bool recordsWritten = copyRecords(options, reader, reading);
    if (reading.ports.isEmpty())
        reading.deviceOf(QString()); // a run whose records were lost still has a device
    reading.statistics.first().unsent = reader.unsentCount();
    reportSkipped(reader, name);
    if (input.failed())
        complain(QStringLiteral("cannot read %1: %2").arg(name, input.errorString()));
    QVector<DeviceOutcome> devices;
    for (int i = 0; i < reading.ports.size(); ++i) {
        const RunStatistics &statistics = reading.statistics.at(i);
        const bool several = reading.ports.size() > 1;
        devices.append({several ? reading.ports.at(i) : name, statistics, endingOf(statistics),
                        QString(), reading.recordings[size_t(i)].get()});
    }
    // An input that failed says more than the records it could not give.
    outcome.badOptions = input.failed();
    outcome.outputLost = !recordsWritten && !input.failed();
    outcome.signal = SignalWatcher::caughtSignal();
    concludeRun(options, chartOf(options, reading), devices, startOf(reading.span, fd), outcome);
    return outcome;
}

} // namespace rangefinder
