// bench-results: figures for the results store, printed, never judged.
//
// 1. One run of a million measurements kept through RunRecorder, as a station keeps it: into a
//    SQLite file and into a PostgreSQL server on a Unix socket (fsync on, as in production).
// 2. rangefinder-cli history over 10,000 runs in a SQLite file: the real program's wall time.
// 3. Live runs at 20 ms a measurement against rangefinder-sim, without a store and recording
//    into SQLite in turn: wall time and every reply's latency, per run and pooled.
//    (--only sqlite|postgresql|live picks one part; --rounds N live runs of each, 3 by default.)
#include "results/postgresserver.h"
#include "results/runrecorder.h"
#include "results/sqlstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QUuid>

#include <algorithm>

#include <sys/resource.h>
#include <unistd.h>

using namespace rangefinder;

namespace {

QTextStream out(stdout);

// CPU time of the whole process, every thread: on a shared machine the wall time says more
// about the neighbours than about the store.
qint64 cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// Fields of /proc/PID/stat after the command's closing parenthesis, from state (field 3) on.
QList<QByteArray> statFields(const QString &pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

// CPU time of a PostgreSQL server, every process of it: the postmaster, the children it has
// (its backends among them) and those it has reaped, which count in its own children's time.
qint64 serverCpuMs(const QString &socketDirectory)
{
    QFile lock(QDir(socketDirectory).filePath(QStringLiteral(".s.PGSQL.5432.lock")));
    if (!lock.open(QIODevice::ReadOnly))
        return -1;
    const QString postmaster = QString::fromLatin1(lock.readLine()).trimmed();
    // utime, stime, cutime, cstime are fields 14 to 17, the 12th to 15th from state.
    const QList<QByteArray> own = statFields(postmaster);
    if (own.size() < 15)
        return -1;
    qint64 ticks =
        own[11].toLongLong() + own[12].toLongLong() + own[13].toLongLong() + own[14].toLongLong();
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QList<QByteArray> fields = statFields(pid);
        if (fields.size() > 12 && fields[1] == postmaster.toLatin1())
            ticks += fields[11].toLongLong() + fields[12].toLongLong();
    }
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

RunRow runRow(const QString &serial, const QDateTime &started)
{
    RunRow run;
    run.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    run.kind = QLatin1String(kCheckRun);
    run.serial = serial;
    run.station = QStringLiteral("bench");
    run.started = started;
    run.unit = QStringLiteral("m");
    run.reference = 12.5;
    run.tolerance = 0.5;
    return run;
}

// The server's socket directory, when the store is a server of the benchmark's own.
void recordMillion(const QString &name, const StoreLocation &location, const QString &outbox,
                   const QString &server = QString())
{
    RunRecorder recorder(location, outbox);
    RunRow run = runRow(QStringLiteral("bench-1M"), QDateTime::currentDateTimeUtc());
    QElapsedTimer timer;
    timer.start();
    const qint64 cpuBefore = cpuMs();
    const qint64 serverBefore = server.isEmpty() ? 0 : serverCpuMs(server);
    if (!recorder.begin(run)) {
        out << name << ": cannot begin: " << recorder.errorString() << '\n';
        out.flush();
        return;
    }
    const QDateTime start = QDateTime::currentDateTimeUtc();
    for (int i = 0; i < 1000000; ++i) {
        MeasurementRow row;
        row.time = start.addMSecs(20LL * i);
        row.status = QStringLiteral("ok");
        row.metres = 12.5 + (i % 7) * 0.1;
        row.latencyMs = 12;
        recorder.add(row);
    }
    const qint64 added = timer.elapsed();
    run.outcome = StoredOutcome::Pass;
    const bool kept = recorder.finish(run);
    out << name << ": 1,000,000 measurements of one run kept in " << timer.elapsed() << " ms, "
        << cpuMs() - cpuBefore << " ms CPU";
    if (!server.isEmpty())
        out << " and the server's " << serverCpuMs(server) - serverBefore << " ms CPU";
    out << " (handed over in " << added << " ms)" << (kept ? "" : " FAILED: ")
        << recorder.errorString() << '\n';
    out.flush();
}

void historyFigures(const QString &dir)
{
    StoreLocation location;
    QString error;
    parseStoreLocation(QStringLiteral("sqlite:") + dir + QStringLiteral("/history.sqlite"),
                       location, &error);
    SqlStore store(location);
    if (!store.open())
        return;
    QElapsedTimer timer;
    timer.start();
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-10000);
    for (int i = 0; i < 10000; ++i) {
        RunRow run = runRow(QStringLiteral("dev-%1").arg(i % 50), start.addSecs(3600LL * i));
        run.outcome = StoredOutcome::Pass;
        run.n = 50;
        run.bias = 0.1 + (i % 11) * 0.001;
        run.sd = 0.03;
        run.cg = 2;
        run.cgk = 1.6;
        store.write(run, {});
    }
    out << "history: 10,000 runs of 50 devices written one commit each in " << timer.elapsed()
        << " ms" << '\n';
    out.flush();
    for (const QStringList &filter :
         {QStringList(), QStringList{QStringLiteral("--serial"), QStringLiteral("dev-7")}}) {
        QProcess process;
        timer.restart();
        process.start(
            QStringLiteral(RANGEFINDER_CLI),
            QStringList{QStringLiteral("history"), QStringLiteral("--results"), location.text} +
                filter);
        process.waitForFinished(60000);
        const int lines = process.readAllStandardOutput().count('\n') - 1;
        out << "history" << (filter.isEmpty() ? "" : " --serial dev-7") << ": " << lines
            << " runs listed by rangefinder-cli in " << timer.elapsed() << " ms (exit "
            << process.exitCode() << ")" << '\n';
        out.flush();
    }
}

// One live run of 1000 measurements: its wall time, and each reply's latency from its CSV.
qint64 liveRun(const QString &port, const QString &store, QVector<qint64> &latencies)
{
    QProcess cli;
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral(RANGEFINDER_CLI),
              {QStringLiteral("--port"), port, QStringLiteral("--count"), QStringLiteral("1000"),
               QStringLiteral("--interval"), QStringLiteral("20"), QStringLiteral("--reference"),
               QStringLiteral("17.8"), QStringLiteral("--tolerance"), QStringLiteral("1"),
               QStringLiteral("--format"), QStringLiteral("csv"), QStringLiteral("--results"),
               store});
    cli.waitForFinished(120000);
    const qint64 wall = timer.elapsed();
    const QList<QByteArray> lines = cli.readAllStandardOutput().split('\n');
    // time,status,metres,value,unit,latency_ms,...: the header and timeouts have no number.
    for (const QByteArray &line : lines) {
        bool number = false;
        const qint64 ms = line.split(',').value(5).toLongLong(&number);
        if (number)
            latencies << ms;
    }
    return wall;
}

QString percentiles(QVector<qint64> values)
{
    if (values.isEmpty())
        return QStringLiteral("no replies");
    std::sort(values.begin(), values.end());
    const auto at = [&values](double share) {
        return values.at(std::min(int(values.size()) - 1, int(share * values.size())));
    };
    return QStringLiteral("%1 replies, latency p50 %2, p99 %3, p99.9 %4, max %5 ms")
        .arg(values.size())
        .arg(at(0.5))
        .arg(at(0.99))
        .arg(at(0.999))
        .arg(values.constLast());
}

// Without a store and recording into SQLite in turn (ABAB...) against one simulator, so that
// both meet the same load from the rest of the machine.
void liveFigures(const QString &dir, int rounds)
{
    QProcess sim;
    sim.start(QStringLiteral(RANGEFINDER_SIM),
              {QStringLiteral("--spread"), QStringLiteral("0.03")});
    if (!sim.waitForReadyRead(5000))
        return;
    const QString port = QString::fromUtf8(sim.readLine()).trimmed();
    const QStringList stores{QStringLiteral("none"),
                             QStringLiteral("sqlite:") + dir + QStringLiteral("/live.sqlite")};
    QVector<qint64> pooled[2];
    for (int round = 1; round <= rounds; ++round) {
        for (int i = 0; i < stores.size(); ++i) {
            QVector<qint64> latencies;
            const qint64 wall = liveRun(port, stores.at(i), latencies);
            out << "live " << round << ", 1000 measurements every 20 ms, --results "
                << (i ? "sqlite" : "none") << ": " << wall << " ms, " << percentiles(latencies)
                << '\n';
            out.flush();
            pooled[i] += latencies;
        }
    }
    for (int i = 0; i < stores.size(); ++i)
        out << "live, all " << rounds << " rounds, --results " << (i ? "sqlite" : "none") << ": "
            << percentiles(pooled[i]) << '\n';
    out.flush();
    sim.terminate();
    sim.waitForFinished();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    StoreLocation sqlite;
    QString error;
    parseStoreLocation(QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("one.sqlite")),
                       sqlite, &error);
    const QString only =
        app.arguments().value(app.arguments().indexOf(QStringLiteral("--only")) + 1);
    const int roundsIndex = app.arguments().indexOf(QStringLiteral("--rounds"));
    const int rounds =
        roundsIndex < 0 ? 3 : std::max(1, app.arguments().value(roundsIndex + 1).toInt());
    if (only == QLatin1String("live")) {
        liveFigures(dir.path(), rounds);
        return 0;
    }
    if (only != QLatin1String("postgresql"))
        recordMillion(QStringLiteral("SQLite"), sqlite,
                      dir.filePath(QStringLiteral("outbox.sqlite")));
    if (only == QLatin1String("sqlite"))
        return 0;
    PostgresServer server;
    server.setDurable(true);
    if (server.start()) {
        StoreLocation postgres;
        parseStoreLocation(server.url(), postgres, &error);
        recordMillion(QStringLiteral("PostgreSQL (Unix socket)"), postgres,
                      dir.filePath(QStringLiteral("outbox.sqlite")), server.socketDirectory());
    } else {
        out << "PostgreSQL: cannot start a server: " << server.errorString() << '\n';
        out.flush();
    }
    if (only == QLatin1String("postgresql"))
        return 0;
    historyFigures(dir.path());
    liveFigures(dir.path(), rounds);
    return 0;
}
