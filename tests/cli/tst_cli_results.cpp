#include "cli/clitestsupport.h"
#include "cli/recordformat.h"
#include "results/postgresserver.h"
#include "results/runrecorder.h"
#include "results/sqlstore.h"
#include "support/filefaults.h"

#include <QImage>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

private:
    QString storeUrl(const QString &kind) const;
    QString runFile(int count, int rawBase = 125);
    void storedRun(const QString &url, const QString &serial, RunRow &run, int &measurements);

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
    StoreLocation location;
    QString error;
    QVERIFY(parseStoreLocation(url, location, &error));
    SqlStore store(location);
    QVERIFY2(store.open(), qPrintable(store.errorString()));
    QVector<RunRow> runs;
    QVERIFY(store.runs({serial, {}, {}, {}}, runs));
    QCOMPARE(runs.size(), 1);
    run = runs.constFirst();
    QVector<MeasurementRow> rows;
    QVERIFY(store.measurements(run.runId, rows));
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
    StoreLocation location;
    QString error;
    QVERIFY(parseStoreLocation(storeUrl(store), location, &error));
    SqlStore sql(location);
    QVERIFY2(sql.open(), qPrintable(sql.errorString()));
    QVERIFY2(sql.write(run, twice ? rows.mid(0, 4) : rows), qPrintable(sql.errorString()));
    if (twice)
        QVERIFY2(sql.write(run, rows), qPrintable(sql.errorString()));
    QVector<MeasurementRow> stored;
    QVERIFY2(sql.measurements(run.runId, stored), qPrintable(sql.errorString()));
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
    StoreLocation location;
    QString error;
    QVERIFY(parseStoreLocation(server.url(), location, &error));
    SqlStore store(location);
    QVERIFY2(store.open(), qPrintable(store.errorString()));
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
        QVERIFY2(store.write(run, {}), qPrintable(store.errorString()));
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

QTEST_GUILESS_MAIN(tst_CliResults)
#include "tst_cli_results.moc"
