// bench-chart: figures for rangefinder-cli's chart and read-back, printed, never judged.
//
// 1. Window logs of up to a million lines (made by the window's own line functions) read back
//    by the real program, --from with --plot: wall time, and the peak memory of the process
//    for logs of growing length.
// 2. A chart of a million records drawn in-process as PNG and SVG: time and file size.
#include "cli/recordformat.h"
#include "cli/runchart.h"
#include "cli/runstatistics.h"
#include "core/measurementtext.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>
#include <sys/wait.h>

using namespace rangefinder;

namespace {

QTextStream out(stdout);

Measurement record(const QDateTime &time, QRandomGenerator &random, bool spike)
{
    Measurement m;
    m.time = time;
    const quint32 dice = random.bounded(1000);
    if (dice < 5) {
        m.status = Measurement::Status::Timeout;
        return m;
    }
    m.status = dice < 10 ? Measurement::Status::Failed : Measurement::Status::Ok;
    m.reply = {quint8(dice < 10 ? 0 : 1), quint16(spike ? 900 : 175 + random.bounded(7))};
    m.latencyMs = 12;
    return m;
}

void chartFigures(int records, const QString &dir)
{
    QRandomGenerator random(1);
    const QDateTime start(QDate(2026, 12, 7), QTime(9, 0));
    QVector<Measurement> run;
    run.reserve(records);
    for (int i = 0; i < records; ++i)
        run.append(record(start.addMSecs(20LL * i), random, i == records / 2));

    QElapsedTimer timer;
    timer.start();
    RunChart chart(LengthUnit::Metre);
    RunStatistics statistics;
    for (const Measurement &m : run) {
        chart.add(m);
        statistics.add(m);
    }
    const qint64 collectMs = timer.elapsed();
    out << "chart of " << records << " records: collecting " << collectMs << " ms\n";
    for (const char *name : {"chart.png", "chart.svg"}) {
        const QString path = dir + QLatin1Char('/') + QLatin1String(name);
        timer.restart();
        QString error;
        const bool saved =
            chart.save(path, *RunChart::fileTypeOf(path), QSize(1200, 600), {statistics}, &error);
        out << "  " << name << ": drawn and written in " << timer.elapsed() << " ms, "
            << QFileInfo(path).size() << " bytes" << (saved ? "" : " FAILED: ") << error << "\n";
    }
    out.flush();
}

// The window's lines for `measurements` commands, 20 ms apart, each answered 12 ms later,
// written as the window writes them (UTF-8 here) but block by block, so that this process stays
// smaller than the one it measures.
bool writeWindowLog(const QString &path, int measurements)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator random(2);
    const QDateTime start(QDate(2026, 12, 7), QTime(9, 0));
    QString block;
    for (int i = 0; i < measurements; ++i) {
        const QDateTime sent = start.addMSecs(20LL * i);
        if (i > 0)
            block += QLatin1Char('\n');
        block += sendLine(sent);
        const Measurement m = record(sent, random, i == measurements / 2);
        if (m.status != Measurement::Status::Timeout)
            block += QLatin1Char('\n') + receiveLine(m.reply, LengthUnit::Metre, sent.addMSecs(12));
        if (block.size() > 65536 || i == measurements - 1) {
            if (file.write(block.toUtf8()) < 0)
                return false;
            block.clear();
        }
    }
    return true;
}

void readBackFigures(const QString &cli, const QString &dir, int measurements)
{
    const QString log = dir + QStringLiteral("/window-%1.log").arg(measurements);
    if (!writeWindowLog(log, measurements)) {
        out << "cannot write " << log << "\n";
        return;
    }
    QFile written(log);
    qint64 lines = 0;
    if (written.open(QIODevice::ReadOnly)) {
        while (!written.readLine().isEmpty())
            ++lines;
    }
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(cli,
                  {QStringLiteral("--from"), log, QStringLiteral("--format"), QStringLiteral("csv"),
                   QStringLiteral("--plot"), dir + QStringLiteral("/readback.png")});
    process.waitForFinished(-1);
    const qint64 wallMs = timer.elapsed();
    // The peak of the one child that has ended since the last reading.
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    out << "window log of " << lines << " lines (" << QFileInfo(log).size() / 1000000.0
        << " MB): --from --format csv --plot read, summarised and charted in " << wallMs
        << " ms, exit " << process.exitCode() << ", peak memory of the largest run so far "
        << usage.ru_maxrss / 1024 << " MB\n";
    out.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption records(QStringLiteral("records"),
                                     QStringLiteral("Records in the chart (1000000)."),
                                     QStringLiteral("n"), QStringLiteral("1000000"));
    parser.addOption(records);
    parser.process(app);

    QTemporaryDir dir;
    // Growing logs, so that each peak is that of the run just made; before the chart, whose
    // records would otherwise be counted in every child's peak from its fork.
    for (int measurements : {125000, 250000, 500000})
        readBackFigures(QStringLiteral(RANGEFINDER_CLI), dir.path(), measurements);
    chartFigures(parser.value(records).toInt(), dir.path());
    return 0;
}
