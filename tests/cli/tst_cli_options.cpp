#include "cli/clitestsupport.h"
#include "cli/dispatch.h"
#include "cli/measurecommand.h"
#include "cli/modecommand.h"
#include "cli/readcommand.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

// rangefinder-cli's commands and options: each one's help, the command lines they take or
// refuse, and the spellings from before the commands.
class tst_CliOptions : public CliTest
{
    Q_OBJECT

private slots:
    void help_data();
    void help();
    void parse_data();
    void parse();
    void badOptions_data();
    void badOptions();
};

void tst_CliOptions::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("notShown");

    const QStringList line{"--port",
                           "--baud",
                           "--count",
                           "--duration",
                           "--timeout",
                           "--reconnect",
                           "--interval",
                           "--reconnect-interval",
                           "--strict",
                           "(default 9600)",
                           "(default 1)",
                           "(default 1000)",
                           "9600, 115200 or 230400",
                           "(default 500)",
                           "/dev/serial/by-id/"};
    const QStringList output{"--unit",        "--format",    "--plot",      "--plot-size",
                             "--plot-format", "(default m)", "m, yd or ft", "(default text)",
                             "text, csv",     "jsonl"};
    const QStringList judging{"--reference",    "--tolerance",        "--min-cg",
                              "--min-cgk",      "--allowed-failures", "--junit",
                              "(default 1.33)", "shown as inf",       "Exit codes:"};
    const QStringList modes{"--from", "--list-ports"};
    QTest::newRow("program") << QStringList{"--help"}
                             << QStringList{"measure", "read", "ports", "--from FILE means read"}
                             << QStringList{"--port", "--unit", "--reference", "Exit codes:"};
    QTest::newRow("measure") << QStringList{"measure", "--help"} << line + output + judging
                             << modes + QStringList{"FILE|-"};
    QTest::newRow("read") << QStringList{"read", "-h"}
                          << output + judging + QStringList{"read [options] FILE|-"}
                          << modes + line.mid(0, 9);
    QTest::newRow("ports") << QStringList{"ports", "--help"}
                           << QStringList{"ports [options]", "/dev/serial/by-id/"}
                           << modes + line.mid(0, 9) + output.mid(0, 5) + judging;
}

void tst_CliOptions::help()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, notShown);

    Run run;
    runCli(arguments, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    for (const QString &text : shown)
        QVERIFY2(run.out.contains(text), qPrintable(text));
    for (const QString &text : notShown)
        QVERIFY2(!run.out.contains(text + QLatin1Char(' ')), qPrintable(text));
    if (shown.contains(QStringLiteral("Exit codes:"))) {
        for (int code : {0, 1, 2, 3, 4, 5, 130}) {
            const QRegularExpression row(QStringLiteral("^  %1 +\\S").arg(code),
                                         QRegularExpression::MultilineOption);
            QVERIFY2(row.match(run.out).hasMatch(), qPrintable(QString::number(code)));
        }
    }
}

// What a command line comes to, in-process: the command that runs and what it was given, or
// the exact error line.
QString described(const Invocation &invocation)
{
    if (invocation.kind != Invocation::Kind::Run)
        return invocation.text;
    const Command *command = invocation.command.get();
    const CliOptions *options = nullptr;
    QString name = QLatin1String(command->name());
    if (const auto *mode = dynamic_cast<const ModeCommand *>(command)) {
        static const char *const modeNames[] = {"measure", "read", "ports"};
        name = QLatin1String(modeNames[int(mode->mode())]);
        options = mode->mode() == ModeCommand::Mode::Ports ? nullptr : &mode->options();
    } else if (const auto *measure = dynamic_cast<const MeasureCommand *>(command)) {
        options = &measure->options();
    } else if (const auto *read = dynamic_cast<const ReadCommand *>(command)) {
        options = &read->options();
    }
    if (!options)
        return name;
    return QStringList{name, options->ports.join(QLatin1Char(',')), options->fromPath,
                       options->session.strict ? QStringLiteral("strict") : QString()}
        .join(QLatin1Char(' '))
        .simplified();
}

void tst_CliOptions::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("result");

    QTest::newRow("measure") << QStringList{"measure", "--port", "p", "--strict"}
                             << "measure p strict";
    QTest::newRow("options alone") << QStringList{"--port", "p", "--port", "q"} << "measure p,q";
    QTest::newRow("--from") << QStringList{"--from", "run.csv", "--strict"}
                            << "read run.csv strict";
    QTest::newRow("--list-ports minds nothing else")
        << QStringList{"--list-ports", "--count", "x", "now"} << "ports";
    QTest::newRow("read stdin") << QStringList{"read", "-", "--format", "csv"} << "read -";
    QTest::newRow("ports") << QStringList{"ports"} << "ports";
    QTest::newRow("read, a live option")
        << QStringList{"read", "run.csv", "--port", "p"}
        << "Unknown option 'port'. (see rangefinder-cli read --help)";
    QTest::newRow("read, no file")
        << QStringList{"read", "--unit", "ft"}
        << "read takes a file name, or - for stdin (see rangefinder-cli read --help)";
    QTest::newRow("read, two files") << QStringList{"read", "a.csv", "b.csv"}
                                     << "unexpected argument \"b.csv\" (see rangefinder-cli "
                                        "read --help)";
    QTest::newRow("measure, a word") << QStringList{"measure", "--port", "p", "now"}
                                     << "unexpected argument \"now\" (see rangefinder-cli "
                                        "measure --help)";
    QTest::newRow("measure, --from")
        << QStringList{"measure", "--from", "run.csv"}
        << "Unknown option 'from'. (see rangefinder-cli measure --help)";
    QTest::newRow("progress, sometimes")
        << QStringList{"measure", "--port", "p", "--progress", "sometimes"}
        << "--progress takes auto, always or never, not \"sometimes\" (see rangefinder-cli "
           "measure --help)";
    QTest::newRow("ports, a word") << QStringList{"ports", "all"}
                                   << "unexpected argument \"all\" (see rangefinder-cli ports "
                                      "--help)";
    QTest::newRow("no command, a word")
        << QStringList{"now"} << "unexpected argument \"now\" (see --help)";
    QTest::newRow("a command's name after options")
        << QStringList{"--port", "p", "measure"} << "unexpected argument \"measure\" (see --help)";
}

void tst_CliOptions::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, result);

    QCoreApplication::setApplicationName(QStringLiteral("rangefinder-cli"));
    const Invocation invocation =
        parseInvocation(QStringList{QStringLiteral("rangefinder-cli")} + arguments);
    QCOMPARE(described(invocation), result);
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

QTEST_MAIN(tst_CliOptions)
#include "tst_cli_options.moc"
