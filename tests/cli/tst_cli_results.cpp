#include "cli/clitestsupport.h"
#include "cli/linearity.h"
#include "cli/recordformat.h"
#include "results/postgresserver.h"
#include "results/runrecorder.h"
#include "results/schema.h"
#include "results/sqlstore.h"
#include "support/filefaults.h"

#include <QImage>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rangefinder;

// Runs kept in real stores: a SQLite file and a PostgreSQL server of the test's own.
class tst_CliResults : public CliTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stationRun_data();
    void stationRun();
    void storedRows_data();
    void storedRows();
    void recordedRows_data();
    void recordedRows();
    void tenAtOnce_data();
    void tenAtOnce();
    void serverStoppedMidRun();
    void cutShort_data();
    void cutShort();
    void storeFaults_data();
    void storeFaults();
    void passwords_data();
    void passwords();
    void history_data();
    void history();
    void study_data();
    void study();
    void olderStore();

private:
    QString storeUrl(const QString &kind) const;
    QString runFile(int count, int rawBase = 125);
    void storedRun(const QString &url, const QString &serial, RunRow &run, int &measurements);
    void storedStudy(const QString &url, const QString &serial, const QString &report);

    PostgresServer server;
    QTemporaryDir dir;
    int files = 0;
};

void tst_CliResults::initTestCase()
{
    QVERIFY2(server.start(), qPrintable(server.errorString()));
}

QString tst_CliResults::storeUrl(const QString &kind) const
{
    return kind == QLatin1String("sqlite") ? QStringLiteral("sqlite:") + dir.filePath("r.sqlite")
                                           : server.url();
}

// A run saved as CSV: count readings around rawBase tenths of a metre.
QString tst_CliResults::runFile(int count, int rawBase)
{
    QString text = recordHeader(RecordFormat::Csv);
    for (int i = 0; i < count; ++i)
        text +=
            formatRecord(measurement(Measurement::Status::Ok, 1, quint16(rawBase + i % 3 - 1), 20),
                         RecordFormat::Csv, LengthUnit::Metre);
    const QString path = dir.filePath(QStringLiteral("run%1.csv").arg(files++));
    writeBytes(path, text.toUtf8());
    return path;
}

void tst_CliResults::storedRun(const QString &url, const QString &serial, RunRow &run,
                               int &measurements)
{
    QString error;
    const std::unique_ptr<SqlStore> store = openedStore(url, &error);
    QVERIFY2(store, qPrintable(error));
    QVector<RunRow> runs;
    QVERIFY(store->runs({serial, {}, {}, {}}, runs));
    QCOMPARE(runs.size(), 1);
    run = runs.constFirst();
    QVector<MeasurementRow> rows;
    QVERIFY(store->measurements(run.runId, rows));
    measurements = rows.size();
}

void tst_CliResults::stationRun_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("outcome");
    // The simulator reads 17.8 m exactly: s = 0, Cg and Cgk infinite.
    QTest::newRow("sqlite pass") << "sqlite"
                                 << "A50285BI"
                                 << "17.8"
                                 << "PASS";
    QTest::newRow("postgresql fail") << "postgresql"
                                     << "B1"
                                     << "17.0"
                                     << "FAIL";
    QTest::newRow("sqlite hostile serial") << "sqlite"
                                           << "x'); DROP TABLE runs; --"
                                           << "17.8"
                                           << "PASS";
    QTest::newRow("postgresql hostile serial") << "postgresql"
                                               << "\"q\";'s'; DELETE FROM runs"
                                               << "17.8"
                                               << "PASS";
    QTest::newRow("default store") << ""
                                   << "C3"
                                   << "17.8"
                                   << "PASS";
}

void tst_CliResults::stationRun()
{
    QFETCH(QString, store);
    QFETCH(QString, serial);
    QFETCH(QString, reference);
    QFETCH(QString, outcome);
    QStringList arguments{"--count",     "5",   "--interval", "20",   "--reference", reference,
                          "--tolerance", "0.5", "--serial",   serial, "--station",   "bench 2"};
    if (!store.isEmpty())
        arguments << "--results" << storeUrl(store);
    Run run;
    runCli(withPort(arguments), run);
    QCOMPARE(run.exitCode, outcome == "PASS" ? 0 : 1);
    const QString url = store.isEmpty()
                            ? "sqlite:" + dataHome->path() + "/rangefinder-assistant/results.sqlite"
                            : storeUrl(store);
    QVERIFY2(run.err.contains(" kept in " + url.mid(store == "postgresql" ? 0 : 7) + "\n"),
             qPrintable(run.err));
    RunRow row;
    int measurements = 0;
    storedRun(url, serial, row, measurements);
    QCOMPARE(measurements, 5);
    QCOMPARE(outcomeName(row.outcome), outcome);
    QCOMPARE(row.station, QStringLiteral("bench 2"));
    QCOMPARE(row.n, 5);
    QCOMPARE(row.kind, QString(kCheckRun));
    QVERIFY(row.ended >= row.started && row.started.isValid());
    if (outcome == "PASS")
        QCOMPARE(*row.cg, qInf()); // what the verdict printed as inf
    else
        QVERIFY2(row.reasons.startsWith("readings within tolerance: 5 of 5 readings outside"),
                 qPrintable(row.reasons));
}

void tst_CliResults::storedRows_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<bool>("twice");
    QTest::newRow("sqlite") << "sqlite" << false;
    QTest::newRow("postgresql") << "postgresql" << false;
    // A delivery repeated: the rows stored already are skipped, the new one added.
    QTest::newRow("sqlite written twice") << "sqlite" << true;
    QTest::newRow("postgresql written twice") << "postgresql" << true;
}

// Texts that would end a field or a row early, or be taken for NULL or the end of the data,
// stored and read back as given, with every number exact.
void tst_CliResults::storedRows()
{
    QFETCH(QString, store);
    QFETCH(bool, twice);
    const QStringList texts{"tab\there",
                            "two\nlines\r\n",
                            "back\\slash\\",
                            "\\N",
                            "\\.",
                            "'); DELETE FROM measurements; --",
                            "\u6d4b\u8ddd ok"};
    RunRow run;
    run.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    run.serial = run.runId;
    run.started = QDateTime::currentDateTimeUtc();
    QVector<MeasurementRow> rows;
    for (const QString &text : texts) {
        MeasurementRow row;
        row.seq = rows.size();
        row.time = run.started.addMSecs(20 * row.seq);
        row.status = text;
        if (row.seq % 3) {
            row.metres = 0.1 + 0.2 * row.seq;
            row.latencyMs = 1LL << (31 + row.seq);
        }
        rows << row;
    }
    QString error;
    const std::unique_ptr<SqlStore> sql = openedStore(storeUrl(store), &error);
    QVERIFY2(sql, qPrintable(error));
    QVERIFY2(sql->write(run, twice ? rows.mid(0, 4) : rows), qPrintable(sql->errorString()));
    if (twice)
        QVERIFY2(sql->write(run, rows), qPrintable(sql->errorString()));
    QVector<MeasurementRow> stored;
    QVERIFY2(sql->measurements(run.runId, stored), qPrintable(sql->errorString()));
    QCOMPARE(stored.size(), rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(stored[i].status, rows[i].status);
        QCOMPARE(stored[i].time, rows[i].time);
        QCOMPARE(stored[i].metres, rows[i].metres);
        QCOMPARE(stored[i].latencyMs, rows[i].latencyMs);
    }
}

void tst_CliResults::recordedRows_data()
{
    QTest::addColumn<QString>("store");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

// More rows than one commit or one piece of COPY data takes: none lost or doubled where the
// recorder or the store cuts them up.
void tst_CliResults::recordedRows()
{
    QFETCH(QString, store);
    StoreLocation location;
    QString error;
    QVERIFY(parseStoreLocation(storeUrl(store), location, &error));
    RunRecorder recorder(location, dir.filePath(QStringLiteral("outbox.sqlite")));
    RunRow run;
    run.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    run.serial = run.runId;
    run.started = QDateTime::currentDateTimeUtc();
    QVERIFY2(recorder.begin(run), qPrintable(recorder.errorString()));
    constexpr int kRows = 65000;
    for (int i = 0; i < kRows; ++i) {
        MeasurementRow row;
        row.time = run.started.addMSecs(i);
        row.status = QStringLiteral("ok");
        row.metres = i / 1000.0;
        recorder.add(row);
    }
    QVERIFY2(recorder.finish(run), qPrintable(recorder.errorString()));
    SqlStore sql(location);
    QVector<MeasurementRow> stored;
    QVERIFY(sql.open() && sql.measurements(run.runId, stored));
    QCOMPARE(stored.size(), kRows);
    for (int i = 0; i < kRows; i += 997) {
        QCOMPARE(stored[i].seq, i);
        QCOMPARE(*stored[i].metres, i / 1000.0);
    }
    QCOMPARE(stored.constLast().time, run.started.addMSecs(kRows - 1));
}

void tst_CliResults::tenAtOnce_data()
{
    QTest::addColumn<QString>("store");
    QTest::newRow("sqlite") << "sqlite";
    QTest::newRow("postgresql") << "postgresql";
}

void tst_CliResults::tenAtOnce()
{
    QFETCH(QString, store);
    const QString file = runFile(3000);
    const QString tag = QUuid::createUuid().toString();
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < 10; ++i) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(RANGEFINDER_CLI, {"--from", file, "--reference", "12.5",
                                                  "--tolerance", "5", "--results", storeUrl(store),
                                                  "--serial", tag + QString::number(i)});
    }
    for (int i = 0; i < 10; ++i) {
        QProcess &process = *processes.at(i);
        QVERIFY(process.waitForFinished(120000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(process.exitCode() == 0, qPrintable(err));
        QVERIFY2(!err.contains("locked"), qPrintable(err));
        RunRow row;
        int measurements = 0;
        storedRun(storeUrl(store), tag + QString::number(i), row, measurements);
        QCOMPARE(measurements, 3000);
        QCOMPARE(row.outcome, StoredOutcome::Pass);
    }
}

// A run read from a FIFO goes on for as long as the test writes to it.
class FifoRun
{
public:
    FifoRun(const QString &path, const QStringList &arguments)
    {
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
        process.start(RANGEFINDER_CLI, QStringList{"--from", path} + arguments);
        fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
    }
    ~FifoRun() { close(); }
    bool write(const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    QProcess process;
    int fd = -1;
};

QString csvRecords(int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += formatRecord(measurement(Measurement::Status::Ok, 1, 125, 20), RecordFormat::Csv,
                             LengthUnit::Metre);
    return text;
}

void tst_CliResults::serverStoppedMidRun()
{
    const QString serial = QUuid::createUuid().toString();
    FifoRun run(dir.filePath("mid.fifo"), {"--results", server.url(), "--serial", serial});
    QVERIFY(run.write(recordHeader(RecordFormat::Csv) + csvRecords(100)));
    QTest::qWait(1500); // a commit
    QVERIFY2(server.stop(), qPrintable(server.errorString()));
    auto restart = qScopeGuard([this] { server.restart(); });
    QVERIFY(run.write(csvRecords(50)));
    run.close();
    QVERIFY(run.process.waitForFinished(60000));
    const QString err = QString::fromUtf8(run.process.readAllStandardError());
    QCOMPARE(run.process.exitCode(), 0);
    const QString outbox = dataHome->path() + "/rangefinder-assistant/outbox.sqlite";
    QVERIFY2(err.contains("cannot reach " + server.url()) &&
                 err.contains("the outbox " + outbox + ", with 1 run in all"),
             qPrintable(err));
    restart.dismiss();
    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    // The next run to the server delivers it; the outbox as it was before, delivered again by
    // results sync, still leaves the run stored once; then nothing waits.
    QVERIFY(QFile::copy(outbox, outbox + ".before"));
    const QStringList next{"--from", runFile(3), "--results", server.url()};
    const QStringList sync{"results", "sync"};
    const QStringList delivering[] = {next, sync, sync};
    const QString said[] = {" kept in " + server.url(), "delivered 1 run to " + server.url(),
                            "no runs wait in the outbox " + outbox};
    for (int i = 0; i < 3; ++i) {
        if (i == 1)
            QVERIFY(QFile::remove(outbox) && QFile::rename(outbox + ".before", outbox));
        Run delivery;
        runCli(delivering[i], delivery);
        QVERIFY2(delivery.exitCode == 0 && delivery.err.contains(said[i]),
                 qPrintable(delivery.err));
        RunRow row;
        int measurements = 0;
        storedRun(server.url(), serial, row, measurements);
        QCOMPARE(measurements, 150);
        QCOMPARE(row.outcome, StoredOutcome::Done);
    }
}

void tst_CliResults::cutShort_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    // Killed, the run keeps the row of its start and the measurements of its last commit.
    QTest::newRow("killed") << int(SIGKILL) << -1;
    QTest::newRow("interrupted") << int(SIGINT) << 130;
}

void tst_CliResults::cutShort()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    const QString url = storeUrl("sqlite");
    const QString serial = QUuid::createUuid().toString();
    FifoRun run(dir.filePath(QStringLiteral("cut%1.fifo").arg(signalNumber)),
                {"--results", url, "--serial", serial});
    QVERIFY(run.write(recordHeader(RecordFormat::Csv) + csvRecords(40)));
    QTest::qWait(1500);
    ::kill(pid_t(run.process.processId()), signalNumber);
    QVERIFY(run.process.waitForFinished(20000));
    if (exitCode >= 0)
        QCOMPARE(run.process.exitCode(), exitCode);
    RunRow row;
    int measurements = 0;
    storedRun(url, serial, row, measurements);
    QCOMPARE(measurements, 40);
    QCOMPARE(row.outcome, StoredOutcome::Aborted);
    QCOMPARE(row.n, 40);
}

void tst_CliResults::storeFaults_data()
{
    QTest::addColumn<QByteArray>("content"); // of the store before the run
    QTest::addColumn<int>("sizeLimit");      // bytes a file may grow to; 0: no limit
    QTest::addColumn<QString>("error");
    QTest::newRow("corrupt file") << QByteArray(8192, 'x') << 0 << "file is not a database";
    // A file that may grow no further fails as a full disk does, with an I/O error.
    QTest::newRow("full disk") << QByteArray() << 48 * 1024 << "disk I/O error";
}

void tst_CliResults::storeFaults()
{
    QFETCH(QByteArray, content);
    QFETCH(int, sizeLimit);
    QFETCH(QString, error);
    QTemporaryDir storeDir;
    const QString path = storeDir.filePath("store.sqlite");
    if (!content.isEmpty())
        QVERIFY(writeBytes(path, content));
    const QString file = runFile(20000);
    QProcess process;
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (sizeLimit > 0)
            limit = std::make_unique<FileSizeLimit>(rlim_t(sizeLimit));
        process.start(RANGEFINDER_CLI, {"--from", file, "--results", "sqlite:" + path});
        QVERIFY(process.waitForStarted());
    }
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), 5);
    QVERIFY2(err.contains("cannot record the run in sqlite:" + path) && err.contains(error),
             qPrintable(err));
    QCOMPARE(process.readAllStandardOutput().count('\n'), 20000);
    if (!content.isEmpty()) {
        QCOMPARE(readBytes(path), content);
        QCOMPARE(entriesBelow(storeDir.path()), QStringList{"store.sqlite"});
    }
}

void tst_CliResults::passwords_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("environment"); // NAME=value
    QTest::addColumn<QString>("pgpass");      // ~/.pgpass
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    const QString station = server.url().replace("///", "//station@/");
    const QString pgpass = "*:*:results:station:s3cret\n";
    QTest::newRow("in the URL") << server.url().replace("///", "//station:s3cret@/") << ""
                                << "" << 2 << "PGPASSWORD or in ~/.pgpass";
    QTest::newRow("as a parameter") << server.url() + "&password=s3cret"
                                    << ""
                                    << "" << 2 << "PGPASSWORD or in ~/.pgpass";
    QTest::newRow("PGPASSWORD") << station << "PGPASSWORD=s3cret"
                                << "" << 0 << "";
    QTest::newRow("~/.pgpass") << station << "" << pgpass << 0 << "";
    QTest::newRow("wrong") << station << "PGPASSWORD=wrong"
                           << "" << 0 << "password authentication failed for user \"station\"";
}

void tst_CliResults::passwords()
{
    QFETCH(QString, url);
    QFETCH(QString, environment);
    QFETCH(QString, pgpass);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    static const bool roleAdded = server.addPasswordRole("station", "s3cret");
    QVERIFY2(roleAdded, qPrintable(server.errorString()));
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    if (!environment.isEmpty())
        env.insert(environment.section('=', 0, 0), environment.section('=', 1));
    if (!pgpass.isEmpty()) {
        QVERIFY(writeBytes(home.filePath(".pgpass"), pgpass.toUtf8()));
        QFile::setPermissions(home.filePath(".pgpass"), QFile::ReadOwner | QFile::WriteOwner);
    }
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(RANGEFINDER_CLI, {"--from", runFile(3), "--results", url});
    QVERIFY(process.waitForFinished(60000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == exitCode && err.contains(error), qPrintable(err));
    QVERIFY2(!err.contains("s3cret"), qPrintable(err));
    QVERIFY2(err.contains(" kept in " + url) == error.isEmpty(), qPrintable(err));
}

void tst_CliResults::history_data()
{
    QTest::addColumn<QVector<double>>("biases"); // of a device's checks, oldest first, T = 1
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("judgement");
    const QVector<double> steady{0.10, 0.12, 0.09, 0.11, 0.10, 0.12, 0.08, 0.11};
    QTest::newRow("steady") << (steady + QVector<double>{0.11}) << 0 << "within the control";
    QTest::newRow("drifting") << (steady + QVector<double>{0.30}) << 1
                              << "outside the control limits";
    QTest::newRow("too few for limits")
        << (steady.mid(1) + QVector<double>{0.30}) << 0 << "within the tolerance";
    QTest::newRow("outside the tolerance")
        << QVector<double>{0.5, 1.2} << 1 << "outside the tolerance +-1";
    QTest::newRow("both") << (steady + QVector<double>{-1.5}) << 1
                          << "outside the control limits +0.039 .. +0.168 of 8 checks before it "
                             "and outside the tolerance +-1";
}

void tst_CliResults::history()
{
    QFETCH(QVector<double>, biases);
    QFETCH(int, exitCode);
    QFETCH(QString, judgement);
    const QString serial = QUuid::createUuid().toString();
    QString error;
    const std::unique_ptr<SqlStore> store = openedStore(server.url(), &error);
    QVERIFY2(store, qPrintable(error));
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-biases.size());
    for (int i = 0; i < biases.size(); ++i) {
        RunRow run;
        run.runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
        run.kind = kCheckRun;
        run.serial = serial;
        run.started = start.addDays(i);
        run.outcome = StoredOutcome::Pass;
        run.tolerance = 1;
        run.unit = "m";
        run.bias = biases.at(i);
        QVERIFY2(store->write(run, {}), qPrintable(store->errorString()));
    }
    Run run;
    // The device's chart beside its table.
    const QString plot = dir.filePath(QStringLiteral("history%1.png").arg(files++));
    runCli({"history", "--results", server.url(), "--serial", serial, "--format", "csv", "--plot",
            plot},
           run);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(QImage(plot).size(), QSize(1200, 600));
    QCOMPARE(run.out.count('\n'), biases.size() + 1);
    QVERIFY2(run.err.startsWith(serial + ": the latest check") && run.err.contains(judgement),
             qPrintable(run.err));
}

// The study's row, of kind linearity, holds a run per reference with its measurements; each
// figure as the report printed it.
void tst_CliResults::storedStudy(const QString &url, const QString &serial, const QString &report)
{
    QString error;
    const std::unique_ptr<SqlStore> store = openedStore(url, &error);
    QVector<RunRow> runs;
    QVERIFY2(store, qPrintable(error));
    QVERIFY(store->runs({serial, {}, {}, {}}, runs) && runs.size() == 4);
    std::partition(runs.begin(), runs.end(),
                   [](const RunRow &r) { return r.reference.has_value(); });
    const RunRow &study = runs.at(3);
    QCOMPARE(study.kind + outcomeName(study.outcome), QString(kLinearityRun) + "FAIL");
    QVERIFY(report.contains(QStringLiteral("line: bias = %1 + %2 x reference")
                                .arg(figureText(*study.intercept), figureText(*study.slope))));
    for (const RunRow &part : runs.mid(0, 3)) {
        QVector<MeasurementRow> rows;
        QVERIFY(part.parentRunId == study.runId && store->measurements(part.runId, rows));
        QCOMPARE(rows.size(), 3);
        const QString line =
            QStringLiteral("reference %1 3 0 %2 %3 ")
                .arg(figureText(*part.reference), figureText(*part.bias), figureText(*part.sd));
        QVERIFY2(report.simplified().contains(line), qPrintable(line + "\n" + report));
    }
}

void tst_CliResults::study_data()
{
    QTest::addColumn<QString>("store"); // empty: none given
    QTest::addColumn<bool>("live");
    QTest::newRow("live into sqlite") << "sqlite" << true;
    QTest::newRow("live into postgresql") << "postgresql" << true;
    QTest::newRow("live into the default store") << "" << true;
    QTest::newRow("saved runs into postgresql") << "postgresql" << false;
    QTest::newRow("saved runs, not asked") << "" << false;
}

void tst_CliResults::study()
{
    QFETCH(QString, store);
    QFETCH(bool, live);
    const QVector<double> readings{2.1, 2.0, 2.2, 4.1, 4.3, 4.2, 6.4, 6.3, 6.5};
    const QString serial = QUuid::createUuid().toString();
    QStringList arguments{"study", "linearity", "--serial", serial};
    SimulatorSettings settings;
    settings.readings = readings;
    sim->setSettings(settings);
    if (live)
        arguments << "--port" << sim->portName() << "--references"
                  << "2,4,6"
                  << "--count"
                  << "3";
    for (int i = 0; !live && i < 3; ++i) {
        QString text = recordHeader(RecordFormat::Csv);
        for (int j = 0; j < 3; ++j)
            text += QStringLiteral("2026-12-07T10:00:00.000,ok,%1,%1,m,12,,\n")
                        .arg(readings.at(3 * i + j));
        arguments << "--run" << QStringLiteral("%1=%2").arg(2 * i + 2).arg(runFile(0));
        writeBytes(arguments.constLast().section('=', 1), text.toUtf8());
    }
    if (!store.isEmpty())
        arguments << "--results" << storeUrl(store);
    Run run;
    runCli(arguments, run);
    QVERIFY2(run.exitCode == 1, qPrintable(run.err));
    const QString defaultStore = dataHome->path() + "/rangefinder-assistant/results.sqlite";
    const QString url = store.isEmpty() ? "sqlite:" + defaultStore : storeUrl(store);
    QCOMPARE(QFile::exists(defaultStore), live && store.isEmpty());
    if (!live && store.isEmpty())
        return;
    storedStudy(url, serial, run.out);
    Run history;
    runCli({"history", "--results", url, "--serial", serial, "--format", "jsonl"}, history);
    QVERIFY(history.exitCode == 0 && history.out.count('\n') == 1);
    QVERIFY2(history.out.contains("\"kind\":\"linearity\""), qPrintable(history.out));
}

// A store of the first schema opens and takes the later steps, its runs as they were.
void tst_CliResults::olderStore()
{
    const QString path = dir.filePath("old.sqlite");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "old");
        db.setDatabaseName(path);
        QVERIFY(db.open());
        QSqlQuery query(db);
        const QStringList older{
            "CREATE TABLE schema_version (version INTEGER PRIMARY KEY, applied_utc TEXT)",
            "INSERT INTO schema_version VALUES (1, '2026-01-01T00:00:00.000Z')",
            "INSERT INTO runs (run_id, kind, schema_version, serial, started_utc, outcome, bias)"
            " VALUES ('r1', 'type-1', 1, 'OLD', '2026-01-01T00:00:00.000Z', 'PASS', 0.1)"};
        for (const QString &statement : migrations().constFirst().statements + older)
            QVERIFY2(query.exec(statement), qPrintable(statement));
    }
    QSqlDatabase::removeDatabase("old");
    RunRow row;
    int measurements = 0;
    storedRun("sqlite:" + path, "OLD", row, measurements);
    QVERIFY(*row.bias == 0.1 && row.parentRunId.isEmpty() && !row.slope);
}

QTEST_GUILESS_MAIN(tst_CliResults)
#include "tst_cli_results.moc"
