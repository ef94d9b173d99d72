#include "cli/clitestsupport.h"
#include "cli/options.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

// rangefinder-cli's options: its help, the ones it refuses, and what --strict reaches.
class tst_CliOptions : public CliTest
{
    Q_OBJECT

private slots:
    void help();
    void badOptions_data();
    void badOptions();
    void strictOption();
};

void tst_CliOptions::help()
{
    Run run;
    runCli({QStringLiteral("--help")}, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 0);
    for (const char *option : {"--port",
                               "--baud",
                               "--count",
                               "--duration",
                               "--interval",
                               "--unit",
                               "--timeout",
                               "--format",
                               "--strict",
                               "--from",
                               "--plot",
                               "--plot-size",
                               "--plot-format",
                               "--list-ports",
                               "--reference",
                               "--tolerance",
                               "--min-cg",
                               "--min-cgk",
                               "--allowed-failures",
                               "--junit",
                               "--reconnect",
                               "--reconnect-interval",
                               "/dev/serial/by-id/"})
        QVERIFY2(run.out.contains(QLatin1String(option)), option);
    for (const char *fragment :
         {"(default 9600)", "(default 1)", "(default 1000)", "(default m)", "(default text)",
          "9600, 115200 or 230400", "m, yd or ft", "text, csv", "jsonl", "(default 1.33)",
          "shown as inf", "(default 500)"})
        QVERIFY2(run.out.contains(QLatin1String(fragment)), fragment);
    for (int code : {0, 1, 2, 3, 4, 5, 130}) {
        const QRegularExpression line(QStringLiteral("^  %1 +\\S").arg(code),
                                      QRegularExpression::MultilineOption);
        QVERIFY2(line.match(run.out).hasMatch(), qPrintable(QString::number(code)));
    }
    QCOMPARE(run.err, QString());
}

void tst_CliOptions::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments"); // after --port <the simulator>
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QString>("message");

    QTest::newRow("no port") << QStringList{"--count", "2"} << false << "--port is required";
    QTest::newRow("baud 4800") << QStringList{"--baud", "4800"} << true << "--baud";
    QTest::newRow("baud letters") << QStringList{"--baud", "fast"} << true << "--baud";
    QTest::newRow("count and duration") << QStringList{"--count", "3", "--duration", "2"} << true
                                        << "--count and --duration cannot be used together";
    QTest::newRow("count negative") << QStringList{"--count", "-1"} << true << "--count";
    QTest::newRow("count letters") << QStringList{"--count", "ten"} << true << "--count";
    QTest::newRow("count without value") << QStringList{"--count"} << true << "Missing value";
    for (const QString option : {"--duration", "--interval"}) {
        const QString name = option.mid(2);
        QTest::newRow(qPrintable(name + " 0")) << QStringList{option, "0"} << true << option;
        QTest::newRow(qPrintable(name + " negative"))
            << QStringList{option, "-5"} << true << option;
        QTest::newRow(qPrintable(name + " letters")) << QStringList{option, "1s"} << true << option;
    }
    QTest::newRow("interval too large")
        << QStringList{"--interval", "2147483648"} << true << "--interval";
    QTest::newRow("unit km") << QStringList{"--unit", "km"} << true << "--unit";
    QTest::newRow("unit in Chinese") << QStringList{"--unit", "米"} << true << "--unit";
    QTest::newRow("timeout 10") << QStringList{"--timeout", "10"} << true << "--timeout";
    QTest::newRow("timeout letters") << QStringList{"--timeout", "long"} << true << "--timeout";
    QTest::newRow("format xml") << QStringList{"--format", "xml"} << true << "--format";
    QTest::newRow("format CSV") << QStringList{"--format", "CSV"} << true << "--format";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << true << "verbose";
    QTest::newRow("stray argument") << QStringList{"now"} << true << "unexpected argument";
    QTest::newRow("port twice") << QStringList{"--port", "/dev/ttyUSB0", "--port", "/dev/ttyUSB0"}
                                << false << "--port /dev/ttyUSB0 is given twice";
    QTest::newRow("several ports, one with a comma")
        << QStringList{"--port", "/dev/ttyUSB0", "--port", "/tmp/a,b"} << false << "\"/tmp/a,b\"";
    QTest::newRow("plot jpg") << QStringList{"--plot", "run.jpg"} << true << "--plot";
    QTest::newRow("plot format jpg")
        << QStringList{"--plot", "run", "--plot-format", "jpg"} << true << "--plot-format";
    QTest::newRow("plot size letters")
        << QStringList{"--plot", "run.png", "--plot-size", "big"} << true << "--plot-size";
    QTest::newRow("from and port")
        << QStringList{"--from", "run.csv"} << true << "--port cannot be used with --from";
    QTest::newRow("from and count") << QStringList{"--from", "run.csv", "--count", "3"} << false
                                    << "--count cannot be used with --from";
    QTest::newRow("from and reconnect") << QStringList{"--from", "run.csv", "--reconnect"} << false
                                        << "--reconnect cannot be used with --from";
    QTest::newRow("reconnect interval alone")
        << QStringList{"--reconnect-interval", "500"} << true << "needs --reconnect";
    QTest::newRow("reconnect interval 0") << QStringList{"--reconnect", "--reconnect-interval", "0"}
                                          << true << "--reconnect-interval";
    QTest::newRow("from a missing file")
        << QStringList{"--from", "/nonexistent/run.csv"} << false << "cannot read";
    QTest::newRow("tolerance without reference")
        << QStringList{"--tolerance", "1"} << true << "--tolerance needs --reference";
    QTest::newRow("junit without reference")
        << QStringList{"--junit", "r.xml"} << true << "--junit needs --reference";
    QTest::newRow("reference without tolerance")
        << QStringList{"--reference", "17.8"} << true << "--reference needs --tolerance";
    QTest::newRow("reference 0") << QStringList{"--reference", "0", "--tolerance", "1"} << true
                                 << "--reference takes a distance above 0";
    QTest::newRow("tolerance letters")
        << QStringList{"--reference", "9", "--tolerance", "tight"} << true << "--tolerance";
    QTest::newRow("min-cgk negative")
        << QStringList{"--reference", "9", "--tolerance", "1", "--min-cgk", "-1"} << true
        << "--min-cgk";
    QTest::newRow("allowed failures fractional")
        << QStringList{"--reference", "9", "--tolerance", "1", "--allowed-failures", "1.5"} << true
        << "--allowed-failures";
    QTest::newRow("from a binary file")
        << QStringList{"--from", RANGEFINDER_CLI, "--plot", "run.png"} << false << "binary";
    QTest::newRow("from stdin, a directory")
        << QStringList{"--from", "-"} << false << "cannot read stdin: Is a directory";
}

void tst_CliOptions::badOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withPort);
    QFETCH(QString, message);

    Run run;
    runCli(withPort ? this->withPort(arguments) : arguments, run, 20000,
           arguments.contains(QStringLiteral("-")) ? QDir::rootPath() : QString());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.startsWith(QStringLiteral("rangefinder-cli: ")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
    QVERIFY(run.err.endsWith(QLatin1Char('\n')));
    // Nothing reached the device.
    QTest::qWait(50);
    QCOMPARE(sim->received(), QByteArray());
}

// What --strict does to replies is repliesFromTheirStartByte's table; here, that it reaches the
// session.
void tst_CliOptions::strictOption()
{
    const QStringList arguments{"rangefinder-cli", "--port", sim->portName()};
    QCOMPARE(parseOptions(arguments).session.strict, false);
    QCOMPARE(parseOptions(arguments + QStringList{"--strict"}).session.strict, true);
}

QTEST_MAIN(tst_CliOptions)
#include "tst_cli_options.moc"
