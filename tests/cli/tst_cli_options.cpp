#include "cli/clitestsupport.h"
#include "cli/dispatch.h"
#include "cli/measurecommand.h"
#include "cli/modecommand.h"
#include "cli/readcommand.h"
#include "cli/studycommand.h"

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
    QTest::newRow("study linearity")
        << QStringList{"study", "linearity", "--help"}
        << QStringList{"study linearity [options]",
                       "--run",
                       "--references",
                       "--process-sigma",
                       "--max-bias",
                       "(default 10)",
                       "--baud",
                       "--interval",
                       "--plot",
                       "--junit",
                       "Exit codes:"}
        << modes + QStringList{"--duration", "--reconnect", "--reference", "--min-cg"};
    QTest::newRow("ports") << QStringList{"ports", "--help"}
                           << QStringList{"ports [options]", "/dev/serial/by-id/"}
                           << modes + line.mid(0, 9) + output.mid(0, 5) + judging;
    QTest::newRow("history") << QStringList{"history", "--help"}
                             << QStringList{"--results", "--serial", "--since",
                                            "2.66",      "jsonl",    "--plot"}
                             << line.mid(0, 9) + judging.mid(0, 6) + QStringList{"--operator"};
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
    } else if (const auto *study = dynamic_cast<const StudyLinearityCommand *>(command)) {
        const StudySettings &s = study->settings();
        QStringList references;
        for (const QPair<double, QString> &run : s.savedRuns)
            references << QStringLiteral("%1=%2").arg(run.first).arg(run.second);
        for (double reference : s.references)
            references << QString::number(reference);
        return QStringList{name, s.session.portName, references.join(QLatin1Char(',')),
                           s.references.isEmpty() ? QString()
                                                  : QStringLiteral("x%1").arg(s.session.count)}
            .join(QLatin1Char(' '))
            .simplified();
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
    QTest::newRow("study of saved runs")
        << QStringList{"study", "linearity", "--run", "2=a.csv", "--run", "4.5=b.csv"}
        << "study linearity 2=a.csv,4.5=b.csv";
    QTest::newRow("study live") << QStringList{"study",        "linearity", "--port",  "p",
                                               "--references", "2, 4,6",    "--count", "12",
                                               "--baud",       "115200"}
                                << "study linearity p 2,4,6 x12";
    const QString studyHelp = QStringLiteral(" (see rangefinder-cli study linearity --help)");
    QTest::newRow("study, saved and live")
        << QStringList{"study", "linearity", "--run", "2=a.csv", "--port", "p"}
        << "give either --run REF=FILE for each reference, or --port with --references" + studyHelp;
    QTest::newRow("study, neither")
        << QStringList{"study", "linearity", "--unit", "ft"}
        << "give either --run REF=FILE for each reference, or --port with --references" + studyHelp;
    QTest::newRow("study, a run without its reference")
        << QStringList{"study", "linearity", "--run", "a.csv"}
        << "--run takes REF=FILE, a reference distance from 0 to 1e+06 and a saved run, not "
           "\"a.csv\"" +
               studyHelp;
    QTest::newRow("study, a reference twice")
        << QStringList{"study", "linearity", "--port", "p", "--references", "2,4,2"}
        << "--references gives 2 twice" + studyHelp;
    QTest::newRow("study, a reference that is none")
        << QStringList{"study", "linearity", "--port", "p", "--references", "2,,4"}
        << "--references takes distances from 0 to 1e+06 separated by commas; \"\" is none" +
               studyHelp;
    QTest::newRow("study, live without references")
        << QStringList{"study", "linearity", "--port", "p"}
        << "--port needs --references" + studyHelp;
    QTest::newRow("study, a count for saved runs")
        << QStringList{"study", "linearity", "--run", "2=a.csv", "--count", "5"}
        << "--references and --count are for a live study, with --port" + studyHelp;
    QTest::newRow("study, no count")
        << QStringList{"study", "linearity", "--port", "p", "--references", "2,4", "--count", "0"}
        << "--count takes a whole number from 1 to 1000000, not \"0\"" + studyHelp;
    QTest::newRow("study, a largest bias of 0")
        << QStringList{"study", "linearity", "--run", "2=a.csv", "--max-bias", "0"}
        << "--max-bias takes a length above 0, not \"0\"" + studyHelp;
    QTest::newRow("study, measure's duration")
        << QStringList{"study", "linearity", "--port", "p", "--duration", "5"}
        << "Unknown option 'duration'." + studyHelp;
    QTest::newRow("study, no kind")
        << QStringList{"study"} << "unexpected argument \"study\" (see --help)";
    QTest::newRow("no command, a word")
        << QStringList{"now"} << "unexpected argument \"now\" (see --help)";
    QTest::newRow("history") << QStringList{"history", "--serial", "A5"} << "history";
    QTest::newRow("results sync") << QStringList{"results", "sync"} << "results sync";
    QTest::newRow("a password in the store's URL")
        << QStringList{"measure", "--port", "p", "--results", "postgresql://st:pw@db1/runs"}
        << "--results: a password on the command line or in the environment's URL is visible "
           "to every user of the machine; give it in PGPASSWORD or in ~/.pgpass (as psql reads "
           "them) instead (see rangefinder-cli measure --help)";
    QTest::newRow("a store of no known kind")
        << QStringList{"read", "run.csv", "--results", "mysql://db1/runs"}
        << "--results: \"mysql://db1/runs\" is no results store: give sqlite:PATH, "
           "postgresql://[user@]host[:port]/dbname or none (see rangefinder-cli read --help)";
    QTest::newRow("history, a day that is none")
        << QStringList{"history", "--since", "yesterday"}
        << "--since takes a date or time in ISO 8601 (2026-12-01), not \"yesterday\" (see "
           "rangefinder-cli history --help)";
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
