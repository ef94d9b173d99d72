#include "cli/clitestsupport.h"
#include "cli/dispatch.h"
#include "cli/modecommand.h"
#include "cli/studycommand.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

using namespace rangefinder;

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

// A command line written as one string, its words apart by single spaces (or by separator).
QStringList words(const QString &line, QChar separator = QLatin1Char(' '))
{
    return line.split(separator);
}

void tst_CliOptions::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("notShown");

    const QChar bar = QLatin1Char('|');
    const QStringList line =
        words("--port|--baud|--count|--duration|--timeout|--reconnect|--interval|"
              "--reconnect-interval|--strict|(default 9600)|(default 1)|(default 1000)|"
              "9600, 115200 or 230400|(default 500)|/dev/serial/by-id/",
              bar);
    const QStringList output = words("--unit|--format|--plot|--plot-size|--plot-format|"
                                     "(default m)|m, yd or ft|(default text)|text, csv|jsonl",
                                     bar);
    const QStringList judging = words("--reference|--tolerance|--min-cg|--min-cgk|"
                                      "--allowed-failures|--junit|(default 1.33)|shown as inf|"
                                      "Exit codes:",
                                      bar);
    const QStringList modes{"--from", "--list-ports"};
    QTest::newRow("program") << QStringList{"--help"}
                             << words("measure|read|ports|--from FILE means read", bar)
                             << words("--port|--unit|--reference|Exit codes:", bar);
    QTest::newRow("measure") << QStringList{"measure", "--help"} << line + output + judging
                             << modes + QStringList{"FILE|-"};
    QTest::newRow("read") << QStringList{"read", "-h"}
                          << output + judging + QStringList{"read [options] FILE|-"}
                          << modes + line.mid(0, 9);
    QTest::newRow("study linearity")
        << words("study linearity --help")
        << words("study linearity [options]|--run|--references|--process-sigma|--max-bias|"
                 "(default 10)|--baud|--interval|--plot|--junit|Exit codes:",
                 bar)
        << modes + words("--duration --reconnect --reference --min-cg");
    QTest::newRow("ports") << QStringList{"ports", "--help"}
                           << QStringList{"ports [options]", "/dev/serial/by-id/"}
                           << modes + line.mid(0, 9) + output.mid(0, 5) + judging;
    QTest::newRow("history") << QStringList{"history", "--help"}
                             << words("--results --serial --since 2.66 jsonl --plot")
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

// The settings that options changed from those of no options, as key=value.
QStringList changed(const CliOptions &o)
{
    const CliOptions d;
    const SessionSettings &s = o.session, &ds = d.session;
    const auto wxh = [](QSize z) { return QStringLiteral("%1x%2").arg(z.width()).arg(z.height()); };
    const QList<std::tuple<const char *, QVariant, QVariant>> fields = {
        {"baud", s.baudRate, ds.baudRate},
        {"count", s.count, ds.count},
        {"durationMs", s.durationMs, ds.durationMs},
        {"interval", s.intervalMs, ds.intervalMs},
        {"timeout", s.timeoutMs, ds.timeoutMs},
        {"unit", int(s.unit), int(ds.unit)},
        {"reconnectMs", s.reconnectMs, ds.reconnectMs},
        {"strict", s.strict, ds.strict},
        {"format", int(o.format), int(d.format)},
        {"progress", int(o.progress), int(d.progress)},
        {"plot", o.plotPath, d.plotPath},
        {"plotType", int(o.plotType), int(d.plotType)},
        {"plotSize", wxh(o.plotSize), wxh(d.plotSize)},
        {"junit", o.junitPath, d.junitPath}};
    QStringList keys;
    for (const auto &[key, value, unchanged] : fields) {
        if (value != unchanged)
            keys << QStringLiteral("%1=%2").arg(QLatin1String(key), value.toString());
    }
    if (const std::optional<AccuracySettings> &a = o.accuracy)
        keys << QStringLiteral("judged=%1,%2,unit%3,cg%4,cgk%5,f%6,d%7")
                    .arg(a->reference)
                    .arg(a->tolerance)
                    .arg(int(a->unit))
                    .arg(a->minimumCg)
                    .arg(a->minimumCgk)
                    .arg(a->allowedFailures)
                    .arg(a->allowedDisconnections);
    return keys;
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
    } else if (const auto *run = dynamic_cast<const CommandOf<CliOptions> *>(command)) {
        options = &run->settings();
    } else if (const auto *study = dynamic_cast<const CommandOf<StudySettings> *>(command)) {
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
    return (QStringList{name, options->ports.join(QLatin1Char(',')), options->fromPath} +
            changed(*options))
        .join(QLatin1Char(' '))
        .simplified();
}

// Spelt without a command, as scripts have it: each refused with its own line.
void addRefusals()
{
    const QString hint = QStringLiteral(" (see --help)");
    const QString ms = QStringLiteral("a whole number of milliseconds from ");
    const QString judge = QStringLiteral("a distance above 0 in the unit of --unit, not ");
    const QList<QPair<QString, QString>> refused = {
        {"--baud fast", "--baud takes 9600, 115200 or 230400, not \"fast\""},
        {"--count 3 --duration 2", "--count and --duration cannot be used together"},
        {"--count -1", "--count takes a whole number from 0, not \"-1\""},
        {"--duration 1s", "--duration takes seconds from 0.001 to 2147483, not \"1s\""},
        {"--interval 2147483648", "--interval takes " + ms + "1 to 2147483647, not \"2147483648\""},
        {"--unit 米", "--unit takes m, yd or ft, not \"米\""},
        {"--timeout 10", "--timeout takes " + ms + "11 to 2147483647, not \"10\""},
        {"--format CSV", "--format takes text, csv or jsonl, not \"CSV\""},
        {"--progress sometimes", "--progress takes auto, always or never, not \"sometimes\""},
        {"--port q --port /tmp/a,b",
         "--port \"/tmp/a,b\": with several ports, a name without commas or spaces"},
        {"--plot run.jpg",
         "--plot takes a file name ending in .png or .svg, or --plot-format, not \"run.jpg\""},
        {"--plot run --plot-format jpg", "--plot-format takes png or svg, not \"jpg\""},
        {"--plot r.png --plot-size big",
         "--plot-size takes WxH in pixels, from 300x200 to 10000x10000, not \"big\""},
        {"--plot-size 600x300", "--plot-size and --plot-format need --plot"},
        {"--reconnect-interval 500", "--reconnect-interval needs --reconnect"},
        {"--reconnect --reconnect-interval 0",
         "--reconnect-interval takes " + ms + "1 to 2147483647, not \"0\""},
        {"--junit r.xml", "--junit needs --reference"},
        {"--reference 17.8", "--reference needs --tolerance"},
        {"--reference 0 --tolerance 1", "--reference takes " + judge + "\"0\""},
        {"--reference 9 --tolerance tight", "--tolerance takes " + judge + "\"tight\""},
        {"--reference 9 --tolerance 1 --min-cgk -1",
         "--min-cgk takes a number from 0 to 1000, not \"-1\""},
        {"--reference 9 --tolerance 1 --allowed-failures 1.5",
         "--allowed-failures takes a whole number from 0, not \"1.5\""},
        {"--reference 9 --tolerance 1 --junit ", "--junit takes a file name"},
        {"--port q --serial s", "--serial names one device: with several ports each is recorded "
                                "by its adapter's serial number"},
    };
    for (const auto &[arguments, line] : refused)
        QTest::newRow(qPrintable(arguments)) << words("--port p " + arguments) << line + hint;
}

void tst_CliOptions::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("result");

    QTest::newRow("measure") << words("measure --port p --strict") << "measure p strict=true";
    QTest::newRow("line and records")
        << words("measure --port p --baud 115200 --count 0 --interval 50 --timeout 11 --unit ft "
                 "--format csv --progress never")
        << "measure p baud=115200 count=0 interval=50 timeout=11 unit=2 format=1 progress=2";
    QTest::newRow("duration and reconnect") << words("--port p --duration 1.5 --reconnect")
                                            << "measure p durationMs=1500 reconnectMs=500";
    QTest::newRow("reconnect interval")
        << words("--port p --reconnect --reconnect-interval 100") << "measure p reconnectMs=100";
    QTest::newRow("judged, in feet")
        << words("--port p --reference 12.5 --tolerance 1 --unit ft --min-cgk 1 "
                 "--allowed-failures 2 --allowed-disconnections 3 --junit r.xml")
        << "measure p unit=2 junit=r.xml judged=12.5,1,unit2,cg1.33,cgk1,f2,d3";
    QTest::newRow("read, a chart")
        << words("read r.csv --plot r.chart --plot-format svg --plot-size 600x300")
        << "read r.csv plot=r.chart plotType=1 plotSize=600x300";
    QTest::newRow("--from") << words("--from run.csv --strict") << "read run.csv strict=true";
    QTest::newRow("--list-ports minds nothing else")
        << words("--list-ports --count x now") << "ports";
    QTest::newRow("read stdin") << words("read - --format csv") << "read - format=1";
    QTest::newRow("ports") << QStringList{"ports"} << "ports";
    QTest::newRow("read, a live option")
        << words("read run.csv --port p")
        << "Unknown option 'port'. (see rangefinder-cli read --help)";
    QTest::newRow("read, no file")
        << words("read --unit ft")
        << "read takes a file name, or - for stdin (see rangefinder-cli read --help)";
    QTest::newRow("read, two files") << words("read a.csv b.csv")
                                     << "unexpected argument \"b.csv\" (see rangefinder-cli "
                                        "read --help)";
    QTest::newRow("measure, a word") << words("measure --port p now")
                                     << "unexpected argument \"now\" (see rangefinder-cli "
                                        "measure --help)";
    QTest::newRow("measure, --from")
        << words("measure --from run.csv")
        << "Unknown option 'from'. (see rangefinder-cli measure --help)";
    QTest::newRow("progress, sometimes")
        << words("measure --port p --progress sometimes")
        << "--progress takes auto, always or never, not \"sometimes\" (see rangefinder-cli "
           "measure --help)";
    QTest::newRow("ports, a word") << QStringList{"ports", "all"}
                                   << "unexpected argument \"all\" (see rangefinder-cli ports "
                                      "--help)";
    QTest::newRow("study of saved runs") << words("study linearity --run 2=a.csv --run 4.5=b.csv")
                                         << "study linearity 2=a.csv,4.5=b.csv";
    QTest::newRow("study live") << QStringList{"study",        "linearity", "--port",  "p",
                                               "--references", "2, 4,6",    "--count", "12",
                                               "--baud",       "115200"}
                                << "study linearity p 2,4,6 x12";
    const QString studyHelp = QStringLiteral(" (see rangefinder-cli study linearity --help)");
    QTest::newRow("study, saved and live")
        << words("study linearity --run 2=a.csv --port p")
        << "give either --run REF=FILE for each reference, or --port with --references" + studyHelp;
    QTest::newRow("study, neither")
        << words("study linearity --unit ft")
        << "give either --run REF=FILE for each reference, or --port with --references" + studyHelp;
    QTest::newRow("study, a run without its reference")
        << words("study linearity --run a.csv")
        << "--run takes REF=FILE, a reference distance from 0 to 1e+06 and a saved run, not "
           "\"a.csv\"" +
               studyHelp;
    QTest::newRow("study, a reference twice")
        << words("study linearity --port p --references 2,4,2")
        << "--references gives 2 twice" + studyHelp;
    QTest::newRow("study, a reference that is none")
        << words("study linearity --port p --references 2,,4")
        << "--references takes distances from 0 to 1e+06 separated by commas; \"\" is none" +
               studyHelp;
    QTest::newRow("study, live without references")
        << words("study linearity --port p") << "--port needs --references" + studyHelp;
    QTest::newRow("study, a count for saved runs")
        << words("study linearity --run 2=a.csv --count 5")
        << "--references and --count are for a live study, with --port" + studyHelp;
    QTest::newRow("study, no count")
        << words("study linearity --port p --references 2,4 --count 0")
        << "--count takes a whole number from 1 to 1000000, not \"0\"" + studyHelp;
    QTest::newRow("study, a largest bias of 0")
        << words("study linearity --run 2=a.csv --max-bias 0")
        << "--max-bias takes a length above 0, not \"0\"" + studyHelp;
    QTest::newRow("study, measure's duration") << words("study linearity --port p --duration 5")
                                               << "Unknown option 'duration'." + studyHelp;
    QTest::newRow("study, no kind")
        << QStringList{"study"} << "unexpected argument \"study\" (see --help)";
    QTest::newRow("no command, a word")
        << QStringList{"now"} << "unexpected argument \"now\" (see --help)";
    QTest::newRow("history") << words("history --serial A5") << "history";
    QTest::newRow("results sync") << QStringList{"results", "sync"} << "results sync";
    QTest::newRow("a password in the store's URL")
        << words("measure --port p --results postgresql://st:pw@db1/runs")
        << "--results: a password on the command line or in the environment's URL is visible "
           "to every user of the machine; give it in PGPASSWORD or in ~/.pgpass (as psql reads "
           "them) instead (see rangefinder-cli measure --help)";
    QTest::newRow("a store of no known kind")
        << words("read run.csv --results mysql://db1/runs")
        << "--results: \"mysql://db1/runs\" is no results store: give sqlite:PATH, "
           "postgresql://[user@]host[:port]/dbname or none (see rangefinder-cli read --help)";
    QTest::newRow("history, a day that is none")
        << words("history --since yesterday")
        << "--since takes a date or time in ISO 8601 (2026-12-01), not \"yesterday\" (see "
           "rangefinder-cli history --help)";
    QTest::newRow("study, the count of a study")
        << words("study linearity --port p --references 2,4") << "study linearity p 2,4 x10";
    QTest::newRow("history, a format that is none")
        << words("history --format xml")
        << "--format takes text, csv or jsonl, not \"xml\" (see rangefinder-cli history --help)";
    addRefusals();
    QTest::newRow("--from and a live option")
        << words("--from run.csv --reconnect")
        << "--reconnect cannot be used with --from (see --help)";
    QTest::newRow("a command's name after options")
        << words("--port p measure") << "unexpected argument \"measure\" (see --help)";
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

// A few of the refusals above as a script meets them: exit code 2, one line on stderr, nothing
// on stdout nor on the line to the device; and what only running finds out.
void tst_CliOptions::badOptions_data()
{
    QTest::addColumn<QStringList>("arguments"); // after --port <the simulator>
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<QString>("message");

    QTest::newRow("no port") << QStringList{"--count", "2"} << false << "--port is required";
    QTest::newRow("baud 4800") << QStringList{"--baud", "4800"} << true << "--baud";
    QTest::newRow("count without value") << QStringList{"--count"} << true << "Missing value";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << true << "verbose";
    QTest::newRow("stray argument") << QStringList{"now"} << true << "unexpected argument";
    QTest::newRow("from and port")
        << QStringList{"--from", "run.csv"} << true << "--port cannot be used with --from";
    QTest::newRow("reference without tolerance")
        << QStringList{"--reference", "17.8"} << true << "--reference needs --tolerance";
    QTest::newRow("from a missing file")
        << QStringList{"--from", "/nonexistent/run.csv"} << false << "cannot read";
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
