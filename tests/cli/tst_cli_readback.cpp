#include "cli/clitestsupport.h"
#include "cli/measurementsession.h"
#include "cli/recordformat.h"
#include "cli/runreader.h"
#include "cli/runstatistics.h"
#include "core/logtextfile.h"
#include "core/measurementtext.h"
#include "core/receivepath.h"
#include "simulator/devicesimulator.h"
#include "support/filefaults.h"

#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

#include <unistd.h>

using namespace rangefinder;

// rangefinder-cli --from: a saved window log or the program's own records read back.
class tst_CliReadback : public CliTest
{
    Q_OBJECT

private slots:
    void readBack_data();
    void readBack();
    void roundTrip_data();
    void roundTrip();
    void fromWithChartAndNoDisplay();
    void outputs_data();
    void outputs();
};

void tst_CliReadback::readBack_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("records"); // CSV in metres, without the header
    QTest::addColumn<QString>("skipped"); // line numbers
    QTest::addColumn<int>("unsent");
    QTest::addColumn<QString>("error"); // set: not a run

    const QString sent = "发送时间 : 09:15:02.030\n";
    const QString ok = "09:15:02.047,ok,17.8,17.8,m,17,,\n";
    auto row = [](const char *name, const QString &text, const QString &records,
                  const QString &skipped = QString(), int unsent = 0) {
        QTest::newRow(name) << text.toUtf8() << records << skipped << unsent << QString();
    };
    row("metres", sent + "接收时间 : 09:15:02.047 测量值:17.8米", ok);
    row("feet", sent + "接收时间 : 09:15:02.047 测量值:58.3989英尺", ok);
    row("yards", sent + "接收时间 : 09:15:02.047 测量值:66.6011码",
        "09:15:02.047,ok,60.9,60.9,m,17,,\n");
    row("failure at its send's time", sent + "测量值:测量失败", "09:15:02.030,failed,,,m,,,\n");
    row("unanswered send is a timeout, the last one nothing",
        sent + "发送时间 : 09:15:03.030\n发送时间 : 09:15:04.030",
        "09:15:02.030,timeout,,,m,,,\n09:15:03.030,timeout,,,m,,,\n");
    // The window logs commands sent close together before their replies; under load its
    // replies run behind its send lines.
    row("replies after later sends, an unanswered send, the clock set back",
        sent + "发送时间 : 09:15:02.032\n接收时间 : 09:15:02.047 测量值:17.8米\n测量值:测量失败\n"
               "发送时间 : 09:15:02.050\n发送时间 : 09:15:02.070\n"
               "接收时间 : 09:15:02.082 测量值:100米\n"
               "发送时间 : 09:15:02.100\n接收时间 : 09:15:02.095 测量值:17.8米\n"
               "发送时间 : 09:15:02.120\n接收时间 : 09:15:02.130 测量值:17.8米\n"
               "发送时间 : 09:15:02.150\n发送时间 : 09:15:02.170\n接收时间 : 09:15:02.183 "
               "测量值:17.8米\n"
               "发送时间 : 09:15:02.190\n接收时间 : 09:15:02.201 测量值:17.8米\n"
               "接收时间 : 09:15:02.202 测量值:17.8米",
        ok + "09:15:02.032,failed,,,m,,,\n09:15:02.050,timeout,,,m,,,\n"
             "09:15:02.082,ok,100,100,m,12,,\n09:15:02.095,ok,17.8,17.8,m,,,\n"
             "09:15:02.130,ok,17.8,17.8,m,10,,\n09:15:02.183,ok,17.8,17.8,m,33,,\n"
             "09:15:02.201,ok,17.8,17.8,m,31,,\n09:15:02.202,ok,17.8,17.8,m,12,,\n");
    row("send failure",
        sent +
            "发送失败：串口未打开\n发送时间 : 09:15:03.030\n接收时间 : 09:15:03.045 测量值:100米",
        "09:15:03.045,ok,100,100,m,15,,\n", QString(), 1);
    row("day boundary",
        "发送时间 : 23:59:59.990\n接收时间 : 00:00:00.005 测量值:17.8米\n"
        "发送时间 : 00:00:01.000\n接收时间 : 00:00:01.012 测量值:17.8米",
        "24:00:00.005,ok,17.8,17.8,m,15,,\n24:00:01.012,ok,17.8,17.8,m,12,,\n");
    row("junk lines",
        "notes\n" + sent + "接收时间 : 09:15:02.047 测量值:abc米\n" +
            "接收时间 : 09:15:02.047 测量值:17.8米\n发送时间 : 25:00:00.000",
        ok, "1,3,5");
    row("value typed by hand, no send", "接收时间 : 09:15:02.047 测量值:12345英尺",
        "09:15:02.047,ok,3762.76,3762.76,m,,,\n");
    QTest::newRow("GB18030") << QTextCodec::codecForName("GB18030")->fromUnicode(
                                    sent + "接收时间 : 09:15:02.047 测量值:17.8米\n测量值:测量失败")
                             << ok + "09:15:02.030,failed,,,m,,,\n"
                             << QString() << 0 << QString();
    row("CSV",
        // As versions without the check column wrote it.
        "time,status,metres,value,unit,latency_ms,raw\n2024-05-01T09:15:02.047,ok,17.8,58.3989,ft,"
        "12," +
            kHexReply178 +
            "\n2024-05-01T09:15:03.047,timeout,,,ft,,\n24:00:00.005,ok,17.8,"
            "58.3989,ft,15,\n",
        "2024-05-01T09:15:02.047,ok,17.8,17.8,m,12," + kHexReply178 +
            ",match\n2024-05-01T09:15:03.047,timeout,,,m,,,\n24:00:00.005,ok,17.8,17.8,m,15,,\n");
    row("JSONL",
        formatRecord(measurement(Measurement::Status::Ok, 1, 0xB2, 12), RecordFormat::Jsonl,
                     LengthUnit::Yard) +
            "{\"status\":\"ok\"}\n",
        "2024-05-01T09:15:02.047,ok,17.8,17.8,m,12," + kHexReply178 + ",match\n", "2");
    // Read by the names the writer gives its columns, not by their places.
    row("CSV, columns in another order",
        "unit,status,time,raw,latency_ms,value\nft,ok,2024-05-01T09:15:02.047," + kHexReply178 +
            ",12,58.3989\nft,timeout,2024-05-01T09:15:03.047,,,\n",
        "2024-05-01T09:15:02.047,ok,17.8,17.8,m,12," + kHexReply178 +
            ",match\n2024-05-01T09:15:03.047,timeout,,,m,,,\n");
    const QString gone = "2024-05-01T09:15:02.047,disconnected,,,m,1426,,\n";
    row("CSV disconnection", recordHeader(RecordFormat::Csv) + gone, gone);
    row("JSONL disconnection",
        formatRecord(disconnection(1426), RecordFormat::Jsonl, LengthUnit::Foot), gone);
    // Replies any length behind their sends still answer them, one each.
    QString sends, replies, answered;
    for (int i = 0; i < 250; ++i) {
        const QTime at = QTime(9, 15).addMSecs(10 * i);
        sends += "发送时间 : " + at.toString("hh:mm:ss.zzz") + "\n";
        replies += "接收时间 : " + at.addSecs(60).toString("hh:mm:ss.zzz") + " 测量值:17.8米\n";
        answered += at.addSecs(60).toString("hh:mm:ss.zzz") + ",ok,17.8,17.8,m,60000,,\n";
    }
    row("250 sends, then their replies", sends + replies, answered);
    QTest::newRow("empty") << QByteArray() << QString() << QString() << 0 << "empty";
    QTest::newRow("blank lines") << QByteArray("\n \n") << QString() << QString() << 0 << "empty";
    QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << QString()
                            << QString() << 0 << "binary";
    QTest::newRow("unknown") << QByteArray("some notes\n17.8 m\n") << QString() << QString() << 0
                             << "no line";
    QTest::newRow("CSV, no row readable")
        << (recordHeader(RecordFormat::Csv) + "2024-05-01T09:15:02.047,ok,17.8,17.8,m,12,,,x\n" +
            "\"2024-05-01T09:15:02.047\",\"ok\",17.8,17.8,m,12,,\n")
               .toUtf8()
        << QString() << QString() << 0 << "no line";
    QTest::newRow("CSV, a column named twice")
        << QByteArray("time,status,unit,unit\n2024-05-01T09:15:02.047,timeout,m,m\n") << QString()
        << QString() << 0 << "no line";
    QTest::newRow("one unanswered send")
        << sent.toUtf8() << QString() << QString() << 0 << "no line";
}

void tst_CliReadback::readBack()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, records);
    QFETCH(QString, skipped);
    QFETCH(int, unsent);
    QFETCH(QString, error);

    QBuffer buffer(&input);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    RunReader reader(&buffer);
    const bool isRun = reader.begin();
    QVERIFY2(isRun == error.isEmpty(), qPrintable(reader.errorString()));
    if (!isRun) {
        QVERIFY2(reader.errorString().contains(error), qPrintable(reader.errorString()));
        return;
    }
    QString text;
    Measurement m;
    while (reader.next(m))
        text += formatRecord(m, RecordFormat::Csv, LengthUnit::Metre);
    QCOMPARE(text, records);
    QStringList numbers;
    for (const RunReader::SkippedLine &line : reader.firstSkipped())
        numbers << QString::number(line.number);
    QCOMPARE(numbers.join(QLatin1Char(',')), skipped);
    QCOMPARE(reader.skippedCount(), numbers.size());
    QCOMPARE(reader.unsentCount(), unsent);
}

void tst_CliReadback::roundTrip_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QByteArray>("locale"); // the encoding the window saves in; none: JSONL

    QTest::newRow("metres, UTF-8") << int(LengthUnit::Metre) << QByteArray("UTF-8");
    QTest::newRow("feet, GB18030") << int(LengthUnit::Foot) << QByteArray("GB18030");
    QTest::newRow("yards, UTF-8") << int(LengthUnit::Yard) << QByteArray("UTF-8");
    QTest::newRow("feet, the command line's JSONL") << int(LengthUnit::Foot) << QByteArray();
}

namespace {

// What the window saves given the replies of a live run (its send line, then what its decode
// appends), in that locale's encoding, read back as bytes.
void saveAsWindow(const QVector<Measurement> &live, LengthUnit unit, const QByteArray &locale,
                  QByteArray &saved)
{
    QStringList lines;
    ReplyFrame frame = {};
    for (const Measurement &m : live) {
        lines << sendLine(m.time.addMSecs(-m.latencyMs));
        QByteArray buffer = m.burst;
        for (const BurstReply &reply : endBurst(buffer, frame).replies) {
            if (hasLogLine(reply.reply))
                lines << receiveLine(reply.reply, unit, m.time);
        }
    }
    SaveFolder folder;
    QVERIFY(folder.isValid());
    QTextCodec::setCodecForLocale(QTextCodec::codecForName(locale));
    const QString path = folder.filePath(QStringLiteral("window.log"));
    QVERIFY(saveLogText(path, lines.join(QLatin1Char('\n'))));
    saved = readBytes(path);
}

} // namespace

void tst_CliReadback::roundTrip()
{
    QFETCH(int, unit);
    QFETCH(QByteArray, locale);
    SessionSettings settings = sessionOnSim(*sim, 40, 20, 500);
    settings.unit = LengthUnit(unit);

    SimulatorSettings device;
    device.pattern = SimulatorSettings::Pattern::RandomWalk;
    device.failureRate = 0.25;
    device.seed = 7;
    sim->setSettings(device);
    QVector<Measurement> live;
    runSession(settings, live);
    if (QTest::currentTestFailed())
        return;

    QByteArray saved;
    if (locale.isEmpty()) {
        for (const Measurement &m : live)
            saved += formatRecord(m, RecordFormat::Jsonl, settings.unit).toUtf8();
    } else {
        saveAsWindow(live, settings.unit, locale, saved);
        if (QTest::currentTestFailed())
            return;
    }
    QBuffer file(&saved);
    QVERIFY(file.open(QIODevice::ReadOnly));
    RunReader reader(&file);
    QVERIFY2(reader.begin(), qPrintable(reader.errorString()));
    RunStatistics liveStatistics, backStatistics;
    QStringList liveRecords, backRecords;
    auto distance = [&settings](const Measurement &m) {
        return formatRecord(m, RecordFormat::Csv, settings.unit).section(QLatin1Char(','), 1, 4);
    };
    for (const Measurement &m : live) {
        liveRecords << distance(m);
        liveStatistics.add(m);
    }
    Measurement m;
    while (reader.next(m)) {
        backRecords << distance(m);
        backStatistics.add(m);
    }
    QCOMPARE(backRecords, liveRecords);
    QCOMPARE(reader.skippedCount(), 0);
    QCOMPARE(countsLine(backStatistics), countsLine(liveStatistics));
    QCOMPARE(distanceLine(backStatistics), distanceLine(liveStatistics));
    QVERIFY(liveStatistics.failures > 0);
}

void tst_CliReadback::fromWithChartAndNoDisplay()
{
    QTemporaryDir dir;
    const QString log = dir.filePath("window.log");
    QVERIFY(saveLogText(log, "发送时间 : 09:15:02.030\n接收时间 : 09:15:02.047 测量值:17.8米\n"
                             "发送时间 : 09:15:03.030\n测量值:测量失败"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QLatin1String(name));
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RANGEFINDER_CLI),
                  {"--from", log, "--format", "csv", "--plot", dir.filePath("run.png"),
                   "--plot-size", "800x400"});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()),
             recordHeader(RecordFormat::Csv) +
                 "09:15:02.047,ok,17.8,17.8,m,17,,\n09:15:03.030,failed,,,m,,,\n");
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.startsWith("measurements: 2, ok: 1, failed: 1, timeouts: 0\n"), qPrintable(err));
    QCOMPARE(QImage(dir.filePath("run.png")).size(), QSize(800, 400));

    // The same judged, as SVG: the title says the verdict and the criteria not met.
    process.start(QStringLiteral(RANGEFINDER_CLI),
                  {"read", log, "--reference", "17.8", "--tolerance", "1", "--allowed-failures",
                   "1", "--plot", dir.filePath("run.svg"), "--plot-size", "800x400"});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 1);
    const QString svg = QString::fromUtf8(readBytes(dir.filePath("run.svg")));
    QVERIFY2(svg.contains(">FAIL, not met: Cg at least 1.33, Cgk at least 1.33</text>"),
             qPrintable(svg.left(3000)));
    QVERIFY(svg.contains("width=\"800\" height=\"400\""));
}

void tst_CliReadback::outputs_data()
{
    QTest::addColumn<QString>("command"); // IN: a saved run of two readings in the folder DIR
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");   // a line on stderr, if set
    QTest::addColumn<QString>("file");      // in DIR, after the run
    QTest::addColumn<QStringList>("parts"); // what it holds, in this order

    const QString judged = " --reference 17.8 --tolerance 1";
    const QString chart = " --plot /dev/stdout --plot-format svg";
    const QStringList run{"time,status", ",ok,17.8,", ",ok,17.8,"};
    QTest::newRow("chart to stdout, a file") << "--from IN" + chart + " > DIR/out" << 0 << QString()
                                             << "out" << QStringList{" ok 17.8 m", "<svg"};
    QTest::newRow("chart to stdout, appended")
        << "--from IN" + chart + " >> DIR/old" << 0 << QString() << "old"
        << QStringList{"old\n", " ok 17.8 m", " ok 17.8 m", "<svg"};
    QTest::newRow("report to stderr, a file")
        << "--from IN" + judged + " --junit /dev/stderr 2> DIR/err" << 0 << QString() << "err"
        << QStringList{"measurements: 2,", "PASS: 5 of 5 criteria met", "<testsuites"};
    QTest::newRow("report by the name of stdout's file")
        << "--from IN" + judged + " --junit DIR/out > DIR/out" << 0 << QString() << "out"
        << QStringList{" ok 17.8 m", "<testsuites"};
    QTest::newRow("report over the input")
        << "--from IN" + judged + " --junit IN" << 2
        << "--junit DIR/in.csv is the file that --from DIR/in.csv reads: an output may not be "
           "an input"
        << "in.csv" << run;
    QTest::newRow("chart over the input read from stdin")
        << "--from - --plot IN --plot-format svg < IN" << 2
        << "--plot DIR/in.csv is the file that stdin reads: an output may not be an input"
        << "in.csv" << run;
    QTest::newRow("records appended to the input")
        << "--from IN --format csv >> IN" << 2
        << "stdout is the file that --from DIR/in.csv reads: an output may not be an input"
        << "in.csv" << run;
    QTest::newRow("chart and report one file")
        << "--from IN --plot DIR/x.svg --junit DIR/./x.svg" + judged << 2
        << "--plot DIR/x.svg and --junit DIR/./x.svg are one file: each output needs its own"
        << "x.svg" << QStringList{};
    QTest::newRow("a port under two names")
        << "--port /dev/null --port DIR/link" << 2
        << "--port DIR/link is given twice: it is the port /dev/null as well" << QString()
        << QStringList{};
    // Names with bytes that are not UTF-8 (\377\376) are opened as the system names them.
    QTest::newRow("an input named in bytes")
        << "--from \"$(printf 'DIR/r\\377\\376.csv')\" --format csv > DIR/out" << 0 << QString()
        << "out" << run;
    QTest::newRow("a port link named in bytes")
        << "--port \"$(printf 'DIR/port\\377')\" --port /dev/null" << 2
        << "--port /dev/null is given twice: it is the port DIR/port" << QString() << QStringList{};
    // The log spans midnight; it was saved on 2 May.
    QTest::newRow("report of a window log")
        << "--from DIR/window.log" + judged + " --junit DIR/r.xml" << 0 << QString() << "r.xml"
        << QStringList{"timestamp=\"2024-05-01T23:59:59.020\"", "<property name=\"valid\"",
                       "<property name=\"Cg\" value=\"inf\"/>"};
    QTest::newRow("report of one reading")
        << "--from DIR/one.log" + judged + " --junit DIR/r.xml" << 1 << QString() << "r.xml"
        << QStringList{"<property name=\"valid\" value=\"1\"/>\n            <property "
                       "name=\"start\" value=\"2024-05-02T23:59:59.020\"/>\n        </properties>"};
}

// Outputs that are stdout's or stderr's file, or that would lose an input or each other.
void tst_CliReadback::outputs()
{
    QFETCH(QString, command);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, file);
    QFETCH(QStringList, parts);

    QTemporaryDir dir;
    const Measurement ok = measurement(Measurement::Status::Ok, 1, 0xB2, 12);
    const QString record = formatRecord(ok, RecordFormat::Csv, LengthUnit::Metre);
    QVERIFY(writeBytes(dir.filePath("in.csv"),
                       (recordHeader(RecordFormat::Csv) + record + record).toUtf8()));
    QVERIFY(writeBytes(dir.filePath("old"), "old\n"));
    QVERIFY(QFile::link("/dev/null", dir.filePath("link")));
    const QByteArray folder = QFile::encodeName(dir.path());
    QCOMPARE(::symlink("in.csv", folder + "/r\xff\xfe.csv"), 0);
    QCOMPARE(::symlink("/dev/null", folder + "/port\xff"), 0);
    const QString window = "发送时间 : 23:59:59.000\n接收时间 : 23:59:59.020 测量值:17.8米\n"
                           "发送时间 : 00:00:01.000\n接收时间 : 00:00:01.020 测量值:17.8米\n";
    QVERIFY(writeBytes(dir.filePath("window.log"), window.toUtf8()));
    QVERIFY(writeBytes(dir.filePath("one.log"), window.section('\n', 0, 1).toUtf8()));
    for (const char *name : {"window.log", "one.log"}) {
        QFile log(dir.filePath(name));
        QVERIFY(log.open(QIODevice::ReadWrite) &&
                log.setFileTime(QDateTime(QDate(2024, 5, 2), QTime(12, 0)),
                                QFileDevice::FileModificationTime));
    }

    command.replace("IN", "DIR/in.csv").replace("DIR", dir.path());
    message.replace("DIR", dir.path());
    QProcess process;
    process.start("/bin/sh", {"-c", "exec \"$0\" " + command, RANGEFINDER_CLI});
    QVERIFY(process.waitForFinished(20000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(process.exitCode() == exitCode, qPrintable(err));
    QVERIFY2(message.isEmpty() ? !err.contains("rangefinder-cli: ")
                               : err.contains("rangefinder-cli: " + message),
             qPrintable(err));
    const QString content = QString::fromUtf8(readBytes(dir.filePath(file)));
    int at = 0;
    for (const QString &part : parts) {
        at = content.indexOf(part, at);
        QVERIFY2(at >= 0, qPrintable(part + " not in order in: " + content.left(2000)));
        at += part.size();
    }
}

QTEST_MAIN(tst_CliReadback)
#include "tst_cli_readback.moc"
