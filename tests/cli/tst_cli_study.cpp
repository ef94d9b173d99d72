#include "cli/clitestsupport.h"
#include "cli/linearity.h"
#include "cli/linearityreport.h"
#include "results/sqlstore.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

using namespace rangefinder;

namespace {

// The gauge linearity example of AIAG, Measurement Systems Analysis Reference Manual, 4th
// edition (2010), chapter III section B; the same data is Minitab's "Gage Linearity and Bias
// Study" example. Five references, twelve readings each.
const char kAiagExample[] = "2: 2.7 2.5 2.4 2.5 2.7 2.3 2.5 2.5 2.4 2.4 2.6 2.4\n"
                            "4: 5.1 3.9 4.2 5.0 3.8 3.9 3.9 3.9 3.9 4.0 4.1 3.8\n"
                            "6: 5.8 5.7 5.9 5.9 6.0 6.1 6.0 6.1 6.4 6.3 6.0 6.1\n"
                            "8: 7.6 7.7 7.8 7.7 7.8 7.8 7.8 7.7 7.8 7.5 7.6 7.7\n"
                            "10: 9.1 9.3 9.5 9.3 9.4 9.5 9.5 9.5 9.6 9.2 9.3 9.4\n";
// The example's process variation 6S.
constexpr double kAiagProcessVariation = 14.1941;

// "REF: reading reading ..." per line; x is a failed measurement.
QVector<ReferenceReadings> runsFrom(const QString &text)
{
    QVector<ReferenceReadings> runs;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.isEmpty())
            continue;
        const QStringList parts = line.split(QLatin1Char(':'));
        ReferenceReadings run;
        run.reference = parts.at(0).toDouble();
        for (const QString &word : parts.at(1).simplified().split(QLatin1Char(' '))) {
            if (word.isEmpty())
                continue;
            if (word == QLatin1String("x"))
                ++run.unsuccessful;
            else
                run.readings << word.toDouble();
        }
        runs << run;
    }
    return runs;
}

// Each reference's readings as a CSV run of this program, in dir as at<REF>.csv.
void writeRuns(const QString &dir, const QVector<ReferenceReadings> &runs)
{
    for (const ReferenceReadings &run : runs) {
        QFile file(QStringLiteral("%1/at%2.csv").arg(dir).arg(run.reference));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("time,status,metres,value,unit,latency_ms,raw,check\n");
        for (double reading : run.readings)
            file.write(
                QStringLiteral("2026-12-07T10:00:00.000,ok,%1,%1,m,12,,\n").arg(reading).toUtf8());
        for (int i = 0; i < run.unsuccessful; ++i)
            file.write("2026-12-07T10:00:01.000,timeout,,,m,,,\n");
    }
}

QString fixed(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

} // namespace

// rangefinder-cli study linearity: the arithmetic, the report, and the command.
class tst_CliStudy : public CliTest
{
    Q_OBJECT

private slots:
    void aiagExample_data();
    void aiagExample();
    void verdicts_data();
    void verdicts();
    void command_data();
    void command();
    void aiagReplayedLive();
    void operatorAtATerminal();
    void interruptedLive_data();
    void interruptedLive();
};

void tst_CliStudy::aiagExample_data()
{
    auto row = [](const char *figure, const char *printed) {
        QTest::newRow(figure) << QString::fromLatin1(figure) << QString::fromLatin1(printed);
    };
    QTest::addColumn<QString>("figure");
    QTest::addColumn<QString>("printed");

    row("bias 2", "0.491667");
    row("bias 4", "0.125000");
    row("bias 6", "0.025000");
    row("bias 8", "-0.291667");
    row("bias 10", "-0.616667");
    row("p 2", "0.000");
    // The source prints 0.293 and 0.688 here: it takes the repeatability from the range of the
    // twelve readings (R / d2*, about 9 degrees of freedom), where this study takes their
    // standard deviation with n - 1 = 11. Worked by hand from the readings above:
    // t = 0.125 / (0.447468 / sqrt 12) = 0.968 and t = 0.025 / (0.195982 / sqrt 12) = 0.442.
    row("p 4", "0.354");
    row("p 6", "0.667");
    row("p 8", "0.000");
    row("p 10", "0.000");
    row("slope", "-0.131667");
    row("slope SE", "0.01093");
    row("slope t", "-12.043");
    row("slope p", "0.000");
    row("intercept", "0.736667");
    row("intercept SE", "0.07252");
    row("intercept t", "10.158");
    row("intercept p", "0.000");
    row("s", "0.23954");
    row("R-sq", "71.4");
    row("linearity", "1.86889");
    row("%linearity", "13.2");
}

void tst_CliStudy::aiagExample()
{
    QFETCH(QString, figure);
    QFETCH(QString, printed);

    LinearitySettings settings;
    settings.processSigma = kAiagProcessVariation / 6;
    QString error;
    const std::optional<LinearityStudy> study =
        studyLinearity(runsFrom(QString::fromLatin1(kAiagExample)), settings, &error);
    QVERIFY2(study, qPrintable(error));
    const LinearityFit &fit = study->fit;
    QMap<QString, QString> figures{{"slope", fixed(fit.slope.value, 6)},
                                   {"slope SE", fixed(fit.slope.se, 5)},
                                   {"slope t", fixed(fit.slope.t, 3)},
                                   {"slope p", fixed(fit.slope.p, 3)},
                                   {"intercept", fixed(fit.intercept.value, 6)},
                                   {"intercept SE", fixed(fit.intercept.se, 5)},
                                   {"intercept t", fixed(fit.intercept.t, 3)},
                                   {"intercept p", fixed(fit.intercept.p, 3)},
                                   {"s", fixed(fit.s, 5)},
                                   {"R-sq", fixed(100 * fit.rSquared, 1)},
                                   {"linearity", fixed(*study->linearity, 5)},
                                   {"%linearity", fixed(*study->percentLinearity, 1)}};
    for (const ReferenceBias &r : study->references) {
        figures.insert(QStringLiteral("bias %1").arg(r.reference), fixed(r.bias.value, 6));
        figures.insert(QStringLiteral("p %1").arg(r.reference), fixed(r.bias.p, 3));
    }
    QVERIFY2(figures.contains(figure), qPrintable(figure));
    QCOMPARE(figures.value(figure), printed);
}

void tst_CliStudy::verdicts_data()
{
    QTest::addColumn<QString>("runs");
    QTest::addColumn<double>("maxBias");  // 0: none
    QTest::addColumn<QString>("outcome"); // the error, PASS, or the failures joined by "; "

    auto row = [](const char *name, const QString &runs, const QString &outcome,
                  double maxBias = 0) { QTest::newRow(name) << runs << maxBias << outcome; };
    row("one reference", "5: 5.1 5.0 4.9\n",
        "a linearity study needs two reference distances or more (5 or more recommended), "
        "not 1");
    row("no reference", "",
        "a linearity study needs two reference distances or more (5 or "
        "more recommended), not 0");
    row("reference given twice", "5: 5.1 5.0\n10: 10 10.1\n5: 4.9 5.0\n",
        "reference 5 is given twice");
    row("one reading at a reference", "5: 5.1 5.0\n10: 10.1\n",
        "reference 10 has 1 valid readings (0 failed or timed out); each reference needs two or "
        "more");
    row("failures leave one reading", "5: 5.1 5.0\n10: x 10.1 x\n",
        "reference 10 has 1 valid readings (2 failed or timed out); each reference needs two or "
        "more");
    row("unbiased device", "5: 5.1 4.9 5.0\n10: 10.1 9.9 10.0\n20: 19.9 20.1 20.0\n", "PASS");
    row("every reading on its reference", "5: 5 5 5\n10: 10 10 10\n", "PASS");
    row("a failed measurement", "5: 5.1 4.9 5.0\n10: 10.1 x 9.9 10.0\n20: 19.9 20.1 20.0\n",
        "1 of 10 measurements failed or timed out (1 at 10)");
    // A display stuck at one value: the bias falls by exactly the reference's step, with no
    // scatter about the line at all.
    row("every reading equal", "5: 7 7 7\n10: 7 7 7\n",
        "linearity present (slope -1, p 0.000); bias present (intercept 7, p 0.000)");
    row("constant offset", "5: 5.3 5.2 5.4\n10: 10.3 10.2 10.4\n20: 20.2 20.4 20.3\n",
        "bias present (intercept 0.3, p 0.003)");
    row("bias within B", "5: 5.1 4.9 5.0\n10: 10.1 9.9 10.0\n", "PASS", 0.1);
    row("bias beyond B", "5: 5.3 5.2 5.4\n10: 10.3 10.2 10.4\n20: 20.2 20.4 20.3\n",
        "bias present (intercept 0.3, p 0.003); mean bias outside +/- 0.25: 0.3 at 5, 0.3 at 10, "
        "0.3 at 20",
        0.25);
}

void tst_CliStudy::verdicts()
{
    QFETCH(QString, runs);
    QFETCH(double, maxBias);
    QFETCH(QString, outcome);

    LinearitySettings settings;
    if (maxBias > 0)
        settings.maxBias = maxBias;
    QString error;
    const std::optional<LinearityStudy> study = studyLinearity(runsFrom(runs), settings, &error);
    if (!study) {
        QCOMPARE(error, outcome);
        return;
    }
    QStringList failures;
    for (const Criterion &c : study->criteria) {
        if (!c.passed())
            failures << c.failure;
    }
    QCOMPARE(failures.isEmpty() ? QStringLiteral("PASS") : failures.join(QStringLiteral("; ")),
             outcome);
    QCOMPARE(study->passed(), failures.isEmpty());
}

void tst_CliStudy::command_data()
{
    QTest::addColumn<QStringList>("arguments"); // DIR: the saved runs' folder, PORT: the device
    QTest::addColumn<bool>("silent");           // the device answers no command
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");     // in stdout
    QTest::addColumn<QString>("err");     // in stderr
    QTest::addColumn<QString>("file");    // written by --junit or --plot into DIR
    QTest::addColumn<QString>("content"); // in it

    const QStringList aiag{"--run", "2=DIR/at2.csv",  "--run", "4=DIR/at4.csv",
                           "--run", "6=DIR/at6.csv",  "--run", "8=DIR/at8.csv",
                           "--run", "10=DIR/at10.csv"};
    auto row = [](const char *name, const QStringList &arguments, int exitCode, const QString &out,
                  const QString &err = QString(), bool silent = false,
                  const QString &file = QString(), const QString &content = QString()) {
        QTest::newRow(name) << arguments << silent << exitCode << out << err << file << content;
    };
    row("the example saved", aiag, 1,
        "FAIL: linearity present (slope -0.131667, p 0.000); bias present (intercept 0.736667, "
        "p 0.000)\n");
    row("its tables as JSONL", aiag + QStringList{"--format", "jsonl"}, 1,
        "{\"kind\":\"slope\",\"reference\":null,\"n\":60,\"failed\":null,\"estimate\":-0.131667,",
        "FAIL: linearity present");
    row("its tables as CSV", aiag + QStringList{"--format", "csv", "--tolerance", "1"}, 1,
        "kind,reference,n,failed,estimate,sd,se,t,p,ci_low,ci_high,percent_of_tolerance\n"
        "reference,2,12,0,0.491667,0.124011,0.035799,13.734,0.000,0.412874,0.57046,24.6\n");
    row("its JUnit report", aiag + QStringList{"--junit", "DIR/study.xml"}, 1, "FAIL", QString(),
        false, "study.xml",
        "<testcase classname=\"linearity study\" name=\"slope not significant (p &gt;= "
        "0.05)\">\n            <failure message=\"linearity present (slope -0.131667, p 0.000)\"");
    row("its chart as SVG", aiag + QStringList{"--plot", "DIR/study.svg"}, 1, "FAIL", QString(),
        false, "study.svg", "<title>Linearity and bias: bias = 0.7367 \u2212 0.1317 \u00d7");
    row("a chart it cannot write", aiag + QStringList{"--plot", "DIR/none/study.png"}, 5, "FAIL",
        "cannot write the chart");
    row("an unbiased device", {"--run", "5=DIR/at5.csv", "--run", "20=DIR/at20.csv"}, 0,
        "PASS: 3 of 3 criteria met\n", QString());
    row("one reference", {"--run", "2=DIR/at2.csv"}, 2, QString(),
        "rangefinder-cli: a linearity study needs two reference distances or more (5 or more "
        "recommended), not 1: no study\n");
    row("a reference twice", {"--run", "2=DIR/at2.csv", "--run", "2=DIR/at4.csv"}, 2, QString(),
        "reference 2 is given twice: no study");
    row("one reading at a reference", {"--run", "2=DIR/at2.csv", "--run", "30=DIR/at30.csv"}, 2,
        QString(), "reference 30 has 1 valid readings (2 failed or timed out)");
    row("a file that is no run", {"--run", "2=DIR/at2.csv", "--run", "4=" RANGEFINDER_CLI}, 2,
        QString(), "is not a run");
    row("no such port", {"--port", "/dev/rangefinder-test-no-such-port", "--references", "2,4"}, 3,
        QString(), "cannot open /dev/rangefinder-test-no-such-port");
    row("every measurement timed out",
        {"--port", "PORT", "--references", "2,4", "--count", "2", "--timeout", "50"}, 2, QString(),
        "reference 2 has 0 valid readings (2 failed or timed out)", true);
}

void tst_CliStudy::command()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, silent);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QString, file);
    QFETCH(QString, content);

    QTemporaryDir dir;
    writeRuns(dir.path(), runsFrom(QString::fromLatin1(kAiagExample) +
                                   "5: 5.1 4.9 5.0\n20: 19.9 20.1 20.0\n30: 30.1 x x\n"));
    SimulatorSettings settings;
    settings.silenceRate = silent ? 1 : 0;
    sim->setSettings(settings);
    arguments.replaceInStrings(QStringLiteral("DIR"), dir.path());
    arguments.replaceInStrings(QStringLiteral("PORT"), sim->portName());
    Run run;
    const QStringList study{"study", arguments.isEmpty() ? "" : "linearity"};
    runCli(study + arguments, run);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.out.contains(out), qPrintable(run.out));
    QVERIFY2(run.err.contains(err), qPrintable(run.err));
    if (file.isEmpty())
        return;
    QFile written(dir.filePath(file));
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(written.readAll());
    QVERIFY2(text.contains(content), qPrintable(text));
}

// The example measured live through the simulator, which plays its readings in order, gives
// the report that the published figures give.
void tst_CliStudy::aiagReplayedLive()
{
    SimulatorSettings settings;
    const QVector<ReferenceReadings> runs = runsFrom(QString::fromLatin1(kAiagExample));
    for (const ReferenceReadings &run : runs)
        settings.readings += run.readings;
    sim->setSettings(settings);
    QTemporaryDir dir;
    const QString plot = dir.filePath("linearity.png");
    Run run;
    runCli({"study", "linearity", "--port", sim->portName(), "--references", "2,4,6,8,10",
            "--count", "12", "--interval", "10", "--process-sigma", "2.365683", "--plot", plot,
            "--plot-size", "900x500"},
           run);
    QCOMPARE(run.exitCode, 1);

    LinearitySettings study;
    study.processSigma = 2.365683;
    QString error;
    const std::optional<LinearityStudy> published = studyLinearity(runs, study, &error);
    QVERIFY2(published, qPrintable(error));
    QCOMPARE(run.out, linearityTablesText(*published, "m") + linearitySummary(*published));
    QVERIFY2(run.out.contains("linearity 1.86889"), qPrintable(run.out));
    QCOMPARE(QImage(plot).size(), QSize(900, 500));
}

// With stdin a terminal, nothing is measured at a reference until the operator has placed the
// target and pressed Enter.
void tst_CliStudy::operatorAtATerminal()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    SimulatorSettings settings;
    settings.readings = {2, 2, 4.1, 4.1};
    sim->setSettings(settings);
    QProcess cli;
    cli.setStandardInputFile(QString::fromLocal8Bit(ptsname(master)));
    cli.start(RANGEFINDER_CLI, {"study", "linearity", "--port", sim->portName(), "--references",
                                "2,4", "--count", "2", "--interval", "10"});
    QString err;
    auto prompted = [&](const char *where) {
        err += QString::fromUtf8(cli.readAllStandardError());
        return err.contains(QStringLiteral("Place the target at %1 and press Enter.\n").arg(where));
    };
    QTRY_VERIFY_WITH_TIMEOUT(prompted("2 m"), 10000);
    QTest::qWait(200);
    QCOMPARE(sim->commandCount(), 0);
    QCOMPARE(::write(master, "\n", 1), ssize_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(prompted("4 m"), 10000);
    QCOMPARE(sim->commandCount(), 2);
    QCOMPARE(::write(master, "\n", 1), ssize_t(1));
    QTRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, 10000);
    ::close(master);
    QCOMPARE(cli.exitCode(), 1);
    QVERIFY(QString::fromUtf8(cli.readAllStandardOutput())
                .contains("FAIL: linearity present (slope 0.05, p 0.000); bias present "
                          "(intercept -0.1, p 0.000)\n"));
}

void tst_CliStudy::interruptedLive_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("interrupted") << int(SIGINT) << 130;
    // Killed, the study keeps the rows of its start and the measurements of its last commit.
    QTest::newRow("killed") << int(SIGKILL) << -1;
}

// A study cut short makes no study of what it has, says where it stopped, and is kept as
// ABORTED with the measurements it had.
void tst_CliStudy::interruptedLive()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    const QString url = "sqlite:" + dir.filePath("results.sqlite");
    QProcess cli;
    cli.start(RANGEFINDER_CLI, {"study", "linearity", "--port", sim->portName(), "--references",
                                "2,4", "--count", "1000", "--interval", "20", "--results", url});
    QTRY_VERIFY_WITH_TIMEOUT(sim->commandCount() >= 3, 10000);
    QTest::qWait(1500); // a commit
    ::kill(pid_t(cli.processId()), signalNumber);
    QTRY_COMPARE_WITH_TIMEOUT(cli.state(), QProcess::NotRunning, 10000);
    QCOMPARE(cli.readAllStandardOutput(), QByteArray());
    if (exitCode >= 0) {
        QCOMPARE(cli.exitCode(), exitCode);
        QVERIFY(cli.readAllStandardError().startsWith(
            "rangefinder-cli: interrupted at reference 2 m: no study\nresults: run "));
    }
    QString error;
    const std::unique_ptr<SqlStore> store = openedStore(url, &error);
    QVERIFY2(store, qPrintable(error));
    QVector<RunRow> runs;
    QVERIFY(store->runs({}, runs));
    QCOMPARE(runs.size(), 2); // the study and its first reference, perhaps begun at one time
    const int part = runs.at(0).kind == QLatin1String(kLinearityRun) ? 1 : 0;
    QCOMPARE(runs.at(part).parentRunId, runs.at(1 - part).runId);
    QVector<MeasurementRow> rows;
    QVERIFY(store->measurements(runs.at(part).runId, rows));
    QVERIFY2(rows.size() >= 3 && runs.at(part).n == rows.size(), qPrintable(runs.at(part).reasons));
    for (const RunRow &run : runs)
        QCOMPARE(run.outcome, StoredOutcome::Aborted);
}

QTEST_GUILESS_MAIN(tst_CliStudy)
#include "tst_cli_study.moc"
