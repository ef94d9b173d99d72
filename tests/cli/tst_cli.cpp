#include "cli/accuracy.h"
#include "cli/measurementsession.h"
#include "cli/options.h"
#include "cli/portaccess.h"
#include "cli/recordformat.h"
#include "cli/runchart.h"
#include "cli/runreader.h"
#include "core/commandframe.h"
#include "core/logtextfile.h"
#include "core/measurementtext.h"
#include "core/receivepath.h"
#include "simulator/devicesimulator.h"
#include "support/devicethread.h"
#include "support/filefaults.h"
#include "support/testsupport.h"
#include "support/verifylinesettings.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTextCodec>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// rangefinder-cli: the real program against the simulator on a pseudo-terminal, the measuring
// session in-process, and the record and summary formatting.
class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void recordText_data();
    void recordText();
    void percentiles_data();
    void percentiles();
    void summary();
    void accuracy_data();
    void accuracy();
    void readBack_data();
    void readBack();
    void chart_data();
    void chart();
    void roundTrip_data();
    void roundTrip();
    void accessAdvice_data();
    void accessAdvice();

    void help();
    void fromWithChartAndNoDisplay();
    void badOptions_data();
    void badOptions();
    void strictOption();
    void portCannotBeOpened_data();
    void portCannotBeOpened();
    void lineSettings_data();
    void lineSettings();
    void formats_data();
    void formats();
    void values_data();
    void values();
    void countAndDuration_data();
    void countAndDuration();
    void timeouts();
    void failures_data();
    void failures();
    void noiseBetweenReplies_data();
    void noiseBetweenReplies();
    void deviceGoesAway_data();
    void deviceGoesAway();
    void severalDevices_data();
    void severalDevices();
    void listPorts();
    void interrupted_data();
    void interrupted();
    void outputLost_data();
    void outputLost();
    void station_data();
    void station();

    void intervalAndPendingReply_data();
    void intervalAndPendingReply();
    void repliesFromTheirStartByte_data();
    void repliesFromTheirStartByte();
    void killedRunDoesNotShiftTheNext();
    void burstWithNoCommandIsIgnored();
    void lateReplyIsNotTheNextOne();
    void burstUnderwayAtTheWriteIsIgnored();
    void lineThatNeverFallsSilent();

private:
    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        qint64 wallMs = 0;
        QString out;
        QString err;
    };
    struct Record
    {
        QString time, status, metres, value, unit, latency, raw, check, port;
    };

    QStringList withPort(const QStringList &arguments) const;
    void runCli(const QStringList &arguments, Run &run, int timeoutMs = 20000,
                const QString &input = QString(),
                const QString &program = QStringLiteral(RANGEFINDER_CLI));
    void parseRecords(const QString &format, const QString &out, QVector<Record> &records,
                      bool withPort = false);
    void measure(QStringList arguments, const QString &format, int exitCode, Run &run,
                 QVector<Record> &records);
    QVector<qint64> commandTimesMs() const;
    void runSession(const SessionSettings &settings, QVector<Measurement> &measurements,
                    int *ignored = nullptr, int timeoutMs = 15000);

    DeviceSimulator *sim = nullptr;
};

namespace {

const QDateTime kTime(QDate(2024, 5, 1), QTime(9, 15, 2, 47));
const QString kHexReply178 = QStringLiteral("55aa88010000b23b"); // replyFrame(1, 0xB2)
const QString kIsoTime = QStringLiteral("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}");

Measurement measurement(Measurement::Status status, quint8 statusByte, quint16 raw,
                        qint64 latencyMs)
{
    Measurement m;
    m.status = status;
    m.time = kTime;
    if (status != Measurement::Status::Timeout) {
        m.reply.status = statusByte;
        m.reply.raw = raw;
        m.latencyMs = latencyMs;
        m.burst = replyFrame(statusByte, raw);
    }
    return m;
}

Measurement disconnection(qint64 awayMs)
{
    Measurement m;
    m.status = Measurement::Status::Disconnected;
    m.time = kTime;
    m.latencyMs = awayMs;
    return m;
}

SessionSettings sessionOnSim(const DeviceSimulator &device, int count, int intervalMs,
                             int timeoutMs = 1000)
{
    SessionSettings settings;
    settings.portName = device.portName();
    settings.count = count;
    settings.intervalMs = intervalMs;
    settings.timeoutMs = timeoutMs;
    return settings;
}

} // namespace

Q_DECLARE_METATYPE(Measurement::Status)

void tst_Cli::init()
{
    sim = new DeviceSimulator;
    QVERIFY2(sim->start(), qPrintable(sim->errorString()));
}

void tst_Cli::cleanup()
{
    delete sim;
    sim = nullptr;
}

QStringList tst_Cli::withPort(const QStringList &arguments) const
{
    return QStringList{QStringLiteral("--port"), sim->portName()} + arguments;
}

void tst_Cli::runCli(const QStringList &arguments, Run &run, int timeoutMs, const QString &input,
                     const QString &program)
{
    QProcess process;
    if (!input.isEmpty())
        process.setStandardInputFile(input);
    QElapsedTimer wall;
    wall.start();
    process.start(program, arguments);
    // Polled, not waited for: the simulator answers from this thread's event loop.
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, timeoutMs);
    run.wallMs = wall.elapsed();
    QCOMPARE(process.error(), QProcess::UnknownError);
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
}

void tst_Cli::parseRecords(const QString &format, const QString &out, QVector<Record> &records,
                           bool withPort)
{
    QVERIFY2(out.isEmpty() || out.endsWith(QLatin1Char('\n')), qPrintable(out));
    QStringList lines = out.split(QLatin1Char('\n'));
    lines.removeLast();
    if (format == QLatin1String("csv")) {
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.takeFirst(), QStringLiteral("time,status,metres,value,unit,latency_ms,raw,"
                                                   "check") +
                                        (withPort ? ",port" : ""));
    }
    for (QString line : lines) {
        Record r;
        if (format == QLatin1String("text")) {
            if (withPort) {
                r.port = line.section(QLatin1Char(' '), 0, 0);
                line = line.section(QLatin1Char(' '), 1);
            }
            static const QRegularExpression pattern(
                QStringLiteral("^(%1) (ok|failed|timeout|rejected)(?: (\\S+) (m|yd|ft))?(?: "
                               "\\((\\S+) m\\))?(?: latency (\\d+) ms reply ([0-9a-f]+) check "
                               "(match|mismatch|absent)| no reply)$")
                    .arg(kIsoTime));
            const QRegularExpressionMatch match = pattern.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            r = {match.captured(1), match.captured(2), match.captured(5),
                 match.captured(3), match.captured(4), match.captured(6),
                 match.captured(7), match.captured(8), r.port};
            if (r.metres.isEmpty() && r.unit == QLatin1String("m"))
                r.metres = r.value;
        } else if (format == QLatin1String("csv")) {
            const QStringList f = line.split(QLatin1Char(','));
            QCOMPARE(f.size(), withPort ? 9 : 8);
            r = {f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f.value(8)};
        } else {
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
            QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(),
                     qPrintable(line));
            const QJsonObject o = document.object();
            QStringList keys{"check",  "latency_ms", "metres", "raw",
                             "status", "time",       "unit",   "value"};
            if (withPort)
                keys.insert(3, "port");
            QCOMPARE(o.keys(), keys);
            auto text = [&o](const char *key) {
                const QJsonValue v = o.value(QLatin1String(key));
                if (v.isDouble())
                    return QString::number(v.toDouble(), 'g', 6);
                return v.toString(); // null gives ""
            };
            r = {text("time"),       text("status"), text("metres"), text("value"), text("unit"),
                 text("latency_ms"), text("raw"),    text("check"),  text("port")};
        }
        QVERIFY2(QRegularExpression(QStringLiteral("^%1$").arg(kIsoTime)).match(r.time).hasMatch(),
                 qPrintable(line));
        QVERIFY(QDateTime::fromString(r.time, Qt::ISODateWithMs).isValid());
        records.append(r);
    }
}

// The program on the simulator's port, its records in format read back once it has ended with
// exitCode.
void tst_Cli::measure(QStringList arguments, const QString &format, int exitCode, Run &run,
                      QVector<Record> &records)
{
    runCli(withPort(arguments << QStringLiteral("--format") << format), run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, exitCode);
    parseRecords(format, run.out, records);
}

QVector<qint64> tst_Cli::commandTimesMs() const
{
    QVector<qint64> times;
    for (const SimulatorEvent &event : eventsOf(*sim, SimulatorEvent::Command))
        times.append(event.steadyNs / 1000000);
    return times;
}

void tst_Cli::runSession(const SessionSettings &settings, QVector<Measurement> &measurements,
                         int *ignored, int timeoutMs)
{
    MeasurementSession session(settings);
    QSignalSpy finished(&session, &MeasurementSession::finished);
    QSignalSpy lost(&session, &MeasurementSession::deviceLost);
    connect(&session, &MeasurementSession::measured, this,
            [&measurements](const Measurement &m) { measurements.append(m); });
    QVERIFY2(session.open(), qPrintable(session.errorString()));
    session.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, timeoutMs);
    QCOMPARE(lost.count(), 0);
    QVERIFY(!session.isRunning());
    if (ignored)
        *ignored = session.ignoredBursts();
}

// --- records and summary, in-process ---

void tst_Cli::recordText_data()
{
    using S = Measurement::Status;
    QTest::addColumn<Measurement>("m");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("expected");

    const Measurement ok = measurement(S::Ok, 1, 0xB2, 12);
    const Measurement failed = measurement(S::Failed, 0, 100, 12);
    const Measurement zero = measurement(S::Failed, 1, 0, 9);
    const Measurement timeout = measurement(S::Timeout, 0, 0, 0);
    const Measurement longest = measurement(S::Ok, 1, 0xFFFF, 15);
    const int text = int(RecordFormat::Text), csv = int(RecordFormat::Csv),
              jsonl = int(RecordFormat::Jsonl);
    const int m = int(LengthUnit::Metre), ft = int(LengthUnit::Foot), yd = int(LengthUnit::Yard);

    QTest::newRow("text ok m") << ok << text << m
                               << "2024-05-01T09:15:02.047 ok 17.8 m latency 12 ms reply "
                                  "55aa88010000b23b check match\n";
    QTest::newRow("text ok ft") << ok << text << ft
                                << "2024-05-01T09:15:02.047 ok 58.3989 ft (17.8 m) latency 12 "
                                   "ms reply 55aa88010000b23b check match\n";
    QTest::newRow("text failed") << failed << text << yd
                                 << "2024-05-01T09:15:02.047 failed latency 12 ms reply "
                                    "55aa8800000064ec check match\n";
    QTest::newRow("text distance 0") << zero << text << m
                                     << "2024-05-01T09:15:02.047 failed latency 9 ms reply "
                                        "55aa880100000089 check match\n";
    Measurement rejected = measurement(S::Rejected, 1, 0xB2, 12);
    rejected.burst.chop(1);
    QTest::newRow("text rejected, check byte absent")
        << rejected << text << m
        << "2024-05-01T09:15:02.047 rejected latency 12 ms reply 55aa88010000b2 check absent\n";
    Measurement mismatch = ok;
    mismatch.burst[7] = '\x3C';
    QTest::newRow("csv ok, check byte mismatch")
        << mismatch << csv << m
        << "2024-05-01T09:15:02.047,ok,17.8,17.8,m,12,55aa88010000b23c,mismatch\n";
    QTest::newRow("text timeout") << timeout << text << m
                                  << "2024-05-01T09:15:02.047 timeout no reply\n";
    QTest::newRow("csv ok yd") << ok << csv << yd
                               << "2024-05-01T09:15:02.047,ok,17.8,19.4663,yd,12,"
                                  "55aa88010000b23b,match\n";
    QTest::newRow("csv longest ft")
        << longest << csv << ft
        << "2024-05-01T09:15:02.047,ok,6553.5,21501,ft,15," +
               QString::fromLatin1(replyFrame(1, 0xFFFF).toHex()) + ",match\n";
    QTest::newRow("csv failed") << failed << csv << m
                                << "2024-05-01T09:15:02.047,failed,,,m,12,55aa8800000064ec,match\n";
    QTest::newRow("csv timeout") << timeout << csv << ft
                                 << "2024-05-01T09:15:02.047,timeout,,,ft,,,\n";
    QTest::newRow("jsonl ok ft")
        << ok << jsonl << ft
        << "{\"check\":\"match\",\"latency_ms\":12,\"metres\":17.8,\"raw\":\"55aa88010000b23b\","
           "\"status\":\"ok\","
           "\"time\":\"2024-05-01T09:15:02.047\",\"unit\":\"ft\",\"value\":58.3989}\n";
    QTest::newRow("jsonl longest yd")
        << longest << jsonl << yd
        << "{\"check\":\"match\",\"latency_ms\":15,\"metres\":6553.5,\"raw\":\"" +
               QString::fromLatin1(replyFrame(1, 0xFFFF).toHex()) +
               "\",\"status\":\"ok\",\"time\":\"2024-05-01T09:15:02.047\",\"unit\":\"yd\","
               "\"value\":7166.99}\n";
    QTest::newRow("jsonl failed")
        << failed << jsonl << m
        << "{\"check\":\"match\",\"latency_ms\":12,\"metres\":null,\"raw\":\"55aa8800000064ec\","
           "\"status\":\"failed\","
           "\"time\":\"2024-05-01T09:15:02.047\",\"unit\":\"m\",\"value\":null}\n";
    QTest::newRow("text disconnected") << disconnection(1426) << text << m
                                       << "2024-05-01T09:15:02.047 disconnected away 1426 ms\n";
    QTest::newRow("csv disconnected")
        << disconnection(1426) << csv << ft << "2024-05-01T09:15:02.047,disconnected,,,ft,1426,,\n";
    QTest::newRow("jsonl disconnected")
        << disconnection(1426) << jsonl << m
        << "{\"check\":null,\"latency_ms\":1426,\"metres\":null,\"raw\":null,\"status\":"
           "\"disconnected\",\"time\":\"2024-05-01T09:15:02.047\",\"unit\":\"m\",\"value\":null}\n";
    QTest::newRow("jsonl timeout")
        << timeout << jsonl << m
        << "{\"check\":null,\"latency_ms\":null,\"metres\":null,\"raw\":null,\"status\":"
           "\"timeout\","
           "\"time\":\"2024-05-01T09:15:02.047\",\"unit\":\"m\",\"value\":null}\n";
}

void tst_Cli::recordText()
{
    QFETCH(Measurement, m);
    QFETCH(int, format);
    QFETCH(int, unit);
    QFETCH(QString, expected);

    QCOMPARE(formatRecord(m, RecordFormat(format), LengthUnit(unit)), expected);
}

void tst_Cli::percentiles_data()
{
    QTest::addColumn<QVector<qint64>>("values");
    QTest::addColumn<double>("percent");
    QTest::addColumn<qint64>("expected");

    QVector<qint64> hundred, twoHundred;
    for (int i = 100; i >= 1; --i)
        hundred.append(i);
    for (int i = 1; i <= 200; ++i)
        twoHundred.append(i);
    QTest::newRow("none") << QVector<qint64>{} << 50.0 << qint64(-1);
    QTest::newRow("one p50") << QVector<qint64>{7} << 50.0 << qint64(7);
    QTest::newRow("one p99") << QVector<qint64>{7} << 99.0 << qint64(7);
    QTest::newRow("unsorted p50") << QVector<qint64>{30, 10, 20} << 50.0 << qint64(20);
    QTest::newRow("even count p50") << QVector<qint64>{4, 1, 3, 2} << 50.0 << qint64(2);
    QTest::newRow("few p99 is the largest") << QVector<qint64>{5, 90, 12} << 99.0 << qint64(90);
    QTest::newRow("100 p50") << hundred << 50.0 << qint64(50);
    QTest::newRow("100 p99") << hundred << 99.0 << qint64(99);
    QTest::newRow("200 p99") << twoHundred << 99.0 << qint64(198);
}

void tst_Cli::percentiles()
{
    QFETCH(QVector<qint64>, values);
    QFETCH(double, percent);
    QFETCH(qint64, expected);

    QCOMPARE(percentile(values, percent), expected);
}

void tst_Cli::summary()
{
    using S = Measurement::Status;
    RunStatistics empty;
    QCOMPARE(formatSummary(empty), QStringLiteral("measurements: 0, ok: 0, failed: 0, timeouts: 0\n"
                                                  "distance (m): no valid measurement\n"
                                                  "latency (ms): no reply\n"));
    QVERIFY(empty.allOk());

    RunStatistics s;
    s.add(measurement(S::Ok, 1, 0xB2, 12));
    s.add(measurement(S::Timeout, 0, 0, 0));
    s.add(measurement(S::Ok, 1, 0x3E8, 30));
    s.add(measurement(S::Failed, 0, 100, 15));
    s.ignoredBursts = 2;
    // Distances in metres whatever the unit; the sample standard deviation of 17.8 and 100 is
    // 41.1 * sqrt(2). Latencies of every reply, failed ones included.
    QCOMPARE(formatSummary(s), QStringLiteral("measurements: 4, ok: 2, failed: 1, timeouts: 1\n"
                                              "distance (m): min 17.8, max 100, mean 58.9, "
                                              "sd 58.1242\n"
                                              "latency (ms): p50 15, p99 30\n"
                                              "ignored: 2 bursts that answered no command\n"));
    QVERIFY(!s.allOk());

    // A gap counts apart from the measurements; only a run that ends in one ends as lost.
    s.add(disconnection(1426));
    QVERIFY2(formatSummary(s).startsWith(
                 "measurements: 4, ok: 2, failed: 1, timeouts: 1, disconnections: 1\n"),
             qPrintable(formatSummary(s)));
    QVERIFY(
        formatSummary(s).endsWith("away: 1.426 s in all; the device was still away at the end\n"));
    QCOMPARE(exitCodeOf(s), int(kExitDeviceLost));
    s.add(measurement(S::Ok, 1, 0xB2, 12));
    QVERIFY(formatSummary(s).endsWith("away: 1.426 s in all; the device came back\n"));
    QCOMPARE(exitCodeOf(s), int(kExitSomeFailed));
}

void tst_Cli::accuracy_data()
{
    QTest::addColumn<QVector<int>>("tenths"); // of a metre; 0 a failed measurement, -1 a timeout
    QTest::addColumn<int>("unit");
    QTest::addColumn<double>("reference");
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<int>("allowed");
    QTest::addColumn<QVector<double>>("figures"); // mean, bias, sd, largest deviation, Cg, Cgk
    QTest::addColumn<bool>("coarse");
    QTest::addColumn<QStringList>("failed"); // the criteria's first words

    const double inf = std::numeric_limits<double>::infinity();
    const int m = int(LengthUnit::Metre);
    const double ft = 3.28084; // the feet in a metre
    // 10.0, 10.1, 10.1, 10.2 m: s = sqrt(0.02 / 3) = 0.0816497; with T = 1, Cg = 0.4 / 6s and
    // Cgk = (0.2 - 0.1) / 3s. The resolution 0.1 is 5 % of 2T exactly.
    const QVector<int> spread{100, 101, 101, 102};
    QTest::newRow("spread too wide")
        << spread << m << 10.0 << 1.0 << 0
        << QVector<double>{10.1, 0.1, 0.0816497, 0.2, 0.816497, 0.408248} << false
        << QStringList{"Cg", "Cgk"};
    QTest::newRow("the same in feet")
        << spread << int(LengthUnit::Foot) << 10 * ft << ft << 0
        << QVector<double>{10.1 * ft, 0.1 * ft, 0.0816497 * ft, 0.2 * ft, 0.816497, 0.408248}
        << false << QStringList{"Cg", "Cgk"};
    QTest::newRow("exact, s = 0") << QVector<int>{100, 100, 100} << m << 10.0 << 0.5 << 0
                                  << QVector<double>{10, 0, 0, 0, inf, inf} << true
                                  << QStringList{};
    // 0.2 T = 0.2 leaves no room for a bias of 0.3.
    QTest::newRow("biased, s = 0")
        << QVector<int>{103, 103, 103} << m << 10.0 << 1.0 << 0
        << QVector<double>{10.3, 0.3, 0, 0.3, inf, -inf} << false << QStringList{"Cgk"};
    // Deviations from the mean 10.3: -0.3 three times and 0.9, so s = sqrt(1.08 / 3) = 0.6.
    QTest::newRow("a reading outside")
        << QVector<int>{100, 100, 112, 100} << m << 10.0 << 1.0 << 0
        << QVector<double>{10.3, 0.3, 0.6, 1.2, 0.4 / 3.6, -0.1 / 1.8} << false
        << QStringList{"readings", "Cg", "Cgk"};
    QTest::newRow("a failure and a timeout")
        << QVector<int>{100, 0, 100, -1} << m << 10.0 << 1.0 << 0
        << QVector<double>{10, 0, 0, 0, inf, inf} << false << QStringList{"failed"};
    QTest::newRow("two allowed") << QVector<int>{100, 0, 100, -1} << m << 10.0 << 1.0 << 2
                                 << QVector<double>{10, 0, 0, 0, inf, inf} << false
                                 << QStringList{};
    QTest::newRow("one reading") << QVector<int>{101} << m << 10.0 << 1.0 << 0
                                 << QVector<double>{10.1, 0.1, 0, 0.1} << false
                                 << QStringList{"Cg", "Cgk"};
    QTest::newRow("none") << QVector<int>{-1} << m << 10.0 << 1.0 << 1
                          << QVector<double>{0, 0, 0, 0} << false
                          << QStringList{"readings", "Cg", "Cgk"};
}

void tst_Cli::accuracy()
{
    QFETCH(QVector<int>, tenths);
    QFETCH(int, unit);
    QFETCH(double, reference);
    QFETCH(double, tolerance);
    QFETCH(int, allowed);
    QFETCH(QVector<double>, figures);
    QFETCH(bool, coarse);
    QFETCH(QStringList, failed);

    using S = Measurement::Status;
    RunStatistics statistics;
    for (int t : tenths)
        statistics.add(measurement(t < 0    ? S::Timeout
                                   : t == 0 ? S::Failed
                                            : S::Ok,
                                   t > 0, quint16(std::max(t, 0)), 12));
    const AccuracySettings settings{LengthUnit(unit), reference, tolerance, 1.33, 1.33, allowed};
    const Verdict verdict = judge(statistics, settings);

    const double got[] = {verdict.mean, verdict.bias, verdict.sd, verdict.largestDeviation,
                          verdict.cg,   verdict.cgk};
    for (int i = 0; i < figures.size(); ++i) {
        // Readings pass through single precision on their way from the reply.
        const bool close = std::isinf(figures[i])
                               ? got[i] == figures[i]
                               : std::abs(got[i] - figures[i]) <= 1e-5 * std::max(1.0, figures[i]);
        QVERIFY2(close, qPrintable(QStringLiteral("figure %1: %2").arg(i).arg(got[i])));
    }
    QCOMPARE(verdict.resolutionTooCoarse, coarse);
    QStringList failing;
    for (const Criterion &c : verdict.criteria) {
        if (!c.passed())
            failing << c.name.section(QLatin1Char(' '), 0, 0);
    }
    QCOMPARE(failing, failed);
    QCOMPARE(verdict.passed(), failed.isEmpty());
}

// --- reading a run back, the chart ---

void tst_Cli::readBack_data()
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
    const QString gone = "2024-05-01T09:15:02.047,disconnected,,,m,1426,,\n";
    row("CSV disconnection", recordHeader(RecordFormat::Csv) + gone, gone);
    row("JSONL disconnection",
        formatRecord(disconnection(1426), RecordFormat::Jsonl, LengthUnit::Foot), gone);
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
    QTest::newRow("one unanswered send")
        << sent.toUtf8() << QString() << QString() << 0 << "no line";
}

void tst_Cli::readBack()
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

void tst_Cli::chart_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("points");
    QTest::addColumn<Measurement::Status>("failure");
    QTest::addColumn<int>("devices"); // the measurements dealt out among them in turn
    QTest::addColumn<bool>("judged"); // a reference of 50 m, tolerance 5 m

    using S = Measurement::Status;
    QTest::newRow("png, a spike among many")
        << "png" << QSize(1200, 600) << 200000 << S::Failed << 1 << false;
    QTest::newRow("svg, a spike among many")
        << "svg" << QSize(900, 500) << 200000 << S::Failed << 1 << false;
    QTest::newRow("png, a spike among few")
        << "png" << QSize(640, 360) << 41 << S::Failed << 1 << true;
    QTest::newRow("png, smallest") << "png" << QSize(300, 200) << 41 << S::Failed << 1 << false;
    QTest::newRow("png, rejected among few")
        << "png" << QSize(640, 360) << 41 << S::Rejected << 1 << false;
    QTest::newRow("png, two devices among few")
        << "png" << QSize(640, 360) << 41 << S::Failed << 2 << false;
    QTest::newRow("svg, no valid distance")
        << "svg" << QSize(1200, 600) << 0 << S::Failed << 1 << true;
}

void tst_Cli::chart()
{
    QFETCH(QString, suffix);
    QFETCH(QSize, size);
    QFETCH(int, points);
    QFETCH(Measurement::Status, failure);
    QFETCH(int, devices);
    QFETCH(bool, judged);

    // Every 20 ms between 17.5 and 18.1 m, a few failures and timeouts, 90 m once in the middle.
    RunChart chart(LengthUnit::Metre, devices > 1 ? QStringList{"a", "b"} : QStringList());
    if (judged)
        chart.setReference(50, 5);
    QVector<RunStatistics> statistics(devices);
    const int spikeAt = points / 2;
    for (int i = 0; i < std::max(points, 20); ++i) {
        using S = Measurement::Status;
        const S status = points == 0 || i % 97 == 5 ? failure : i % 89 == 7 ? S::Timeout : S::Ok;
        Measurement m = measurement(status, status == S::Ok, i == spikeAt ? 900 : 175 + i % 7, 12);
        m.time = kTime.addMSecs(20LL * i);
        chart.add(m, i % devices);
        statistics[i % devices].add(m);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath("run." + suffix);
    QString error;
    QVERIFY2(chart.save(path, *RunChart::fileTypeNamed(suffix), size, statistics, &error),
             qPrintable(error));

    QImage image;
    if (suffix == QLatin1String("png")) {
        QVERIFY(image.load(path));
    } else {
        QSvgRenderer svg(path);
        QVERIFY(svg.isValid());
        QCOMPARE(svg.defaultSize(), size);
        image = QImage(size, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        svg.render(&painter);
        const QString text = QString::fromUtf8(readBytes(path));
        const QStringList summary = formatSummary(statistics[0]).split(QLatin1Char('\n'));
        QVERIFY2(text.contains(summary.at(0)), qPrintable(summary.at(0)));
        QVERIFY2(text.contains(summary.at(1)), qPrintable(summary.at(1)));
    }
    QCOMPARE(image.size(), size);
    // The second device's purple (148, 52, 174), in its points and its legend entry; close
    // enough to tell it from the reference's.
    bool purple = false;
    for (int y = 0; y < size.height() && !purple; ++y) {
        for (int x = 0; x < size.width() && !purple; ++x) {
            const QRgb c = image.pixel(x, y);
            purple = std::abs(qRed(c) - 148) < 12 && std::abs(qGreen(c) - 52) < 12 &&
                     std::abs(qBlue(c) - 174) < 12;
        }
    }
    QCOMPARE(purple, devices > 1);

    // The title, made smaller to fit, clear of both edges.
    for (int y = 0; y < size.height() / 8; ++y) {
        QCOMPARE(image.pixel(0, y), qRgb(255, 255, 255));
        QCOMPARE(image.pixel(size.width() - 1, y), qRgb(255, 255, 255));
    }

    // The reference line, the band tinted around it, and nothing above the band; far from the
    // readings and from the band of their standard deviation.
    QImage probe(size, QImage::Format_ARGB32);
    QPainter painter(&probe);
    const int quarterX = int(chart.position(painter, size, 20LL * (points / 4) + 10, 0).x());
    auto tint = [&](double metres, int rows) {
        int most = 0;
        const int y = int(chart.position(painter, size, 0, metres).y());
        for (int dy = -rows; dy <= rows; ++dy) {
            const QRgb c = image.pixel(quarterX, y + dy);
            most = std::max(most, std::min(qBlue(c) - qGreen(c), qRed(c) - qGreen(c)));
        }
        return most;
    };
    QCOMPARE(tint(50, 2) > 60, judged);
    QCOMPARE(tint(47, 0) > 5, judged);
    if (points == 0)
        return;
    QCOMPARE(tint(58, 0), 0);

    // The spike's column reaches 90 m; a column a quarter of the way along stays low.
    const QPointF top = chart.position(painter, size, 20LL * spikeAt, 90.0);
    const QPointF elsewhere = chart.position(painter, size, 20LL * (points / 4), 90.0);
    auto drawnNear = [&image](const QPointF &at) {
        for (int x = int(at.x()) - 1; x <= int(at.x()) + 1; ++x) {
            for (int y = int(at.y()) - 2; y <= int(at.y()) + 6; ++y) {
                const QRgb c = image.pixel(x, y);
                if (qBlue(c) > 180 && qBlue(c) - qRed(c) > 60) // the data's blues
                    return true;
            }
        }
        return false;
    };
    QVERIFY(drawnNear(top));
    QVERIFY(!drawnNear(elsewhere));

    // The first failure is a red cross on the time axis, not a timeout's orange mark under it.
    const int failureX = int(chart.position(painter, size, 20LL * 5, 90.0).x());
    bool red = false;
    for (int y = int(top.y()); y < size.height(); ++y) {
        for (int x = failureX - 1; x <= failureX + 1; ++x)
            red = red || (qRed(image.pixel(x, y)) > 180 && qGreen(image.pixel(x, y)) < 90);
    }
    QVERIFY(red);
}

void tst_Cli::roundTrip_data()
{
    QTest::addColumn<int>("unit");
    QTest::addColumn<QByteArray>("locale"); // the encoding the window saves in

    QTest::newRow("metres, UTF-8") << int(LengthUnit::Metre) << QByteArray("UTF-8");
    QTest::newRow("feet, GB18030") << int(LengthUnit::Foot) << QByteArray("GB18030");
    QTest::newRow("yards, UTF-8") << int(LengthUnit::Yard) << QByteArray("UTF-8");
}

void tst_Cli::roundTrip()
{
    QFETCH(int, unit);
    QFETCH(QByteArray, locale);

    SimulatorSettings device;
    device.pattern = SimulatorSettings::Pattern::RandomWalk;
    device.failureRate = 0.25;
    device.seed = 7;
    sim->setSettings(device);
    SessionSettings settings = sessionOnSim(*sim, 40, 20, 500);
    settings.unit = LengthUnit(unit);
    QVector<Measurement> live;
    runSession(settings, live);
    if (QTest::currentTestFailed())
        return;

    // The window given the same replies: its send line, then what its decode appends.
    QStringList lines;
    ReplyFrame frame = {};
    for (const Measurement &m : live) {
        lines << sendLine(m.time.addMSecs(-m.latencyMs));
        QByteArray buffer = m.burst;
        const QString line = endBurst(buffer, frame, settings.unit, m.time).line;
        if (!line.isEmpty())
            lines << line;
    }
    // Saved in that locale, read back in this machine's own.
    QByteArray saved;
    {
        SaveFolder folder;
        QVERIFY(folder.isValid());
        QTextCodec::setCodecForLocale(QTextCodec::codecForName(locale));
        const QString path = folder.filePath(QStringLiteral("window.log"));
        QVERIFY(saveLogText(path, lines.join(QLatin1Char('\n'))));
        saved = readBytes(path);
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

void tst_Cli::accessAdvice_data()
{
    QTest::addColumn<bool>("groupMayUse");
    QTest::addColumn<bool>("groupInEffect");
    QTest::addColumn<QString>("advice");

    // Not in the group at all: portCannotBeOpened, as nobody.
    QTest::newRow("added to the group since the login")
        << true << false
        << "alice was added to the group dialout, which may open /dev/ttyUSB0, after this session "
           "began; log out and in again (or run `newgrp dialout`)";
    QTest::newRow("the owner's alone")
        << false << false
        << "only its owner root may open /dev/ttyUSB0; ask an administrator to give its group "
           "read and write access";
}

void tst_Cli::accessAdvice()
{
    QFETCH(bool, groupMayUse);
    QFETCH(bool, groupInEffect);
    QFETCH(QString, advice);

    PortAccess access;
    access.kind = PortAccess::Kind::NoAccess;
    access.path = QStringLiteral("/dev/ttyUSB0");
    access.user = QStringLiteral("alice");
    access.owner = QStringLiteral("root");
    access.group = QStringLiteral("dialout");
    access.groupMayUse = groupMayUse;
    access.userInGroup = true;
    access.groupInEffect = groupInEffect;
    QCOMPARE(::accessAdvice(access), advice);
}

// --- the program ---

void tst_Cli::help()
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

void tst_Cli::fromWithChartAndNoDisplay()
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
}

void tst_Cli::badOptions_data()
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
    QTest::newRow("duration 0") << QStringList{"--duration", "0"} << true << "--duration";
    QTest::newRow("duration negative") << QStringList{"--duration", "-3"} << true << "--duration";
    QTest::newRow("duration letters") << QStringList{"--duration", "soon"} << true << "--duration";
    QTest::newRow("interval 0") << QStringList{"--interval", "0"} << true << "--interval";
    QTest::newRow("interval negative") << QStringList{"--interval", "-5"} << true << "--interval";
    QTest::newRow("interval letters") << QStringList{"--interval", "1s"} << true << "--interval";
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

void tst_Cli::badOptions()
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
void tst_Cli::strictOption()
{
    const QStringList arguments{"rangefinder-cli", "--port", sim->portName()};
    QCOMPARE(parseOptions(arguments).session.strict, false);
    QCOMPARE(parseOptions(arguments + QStringList{"--strict"}).session.strict, true);
}

void tst_Cli::portCannotBeOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("advice"); // after "cannot open PORT: "

    QTest::newRow("no such device") << "missing"
                                    << "there is no /dev/rangefinder-test-no-such-port; is the "
                                       "device plugged in? `rangefinder-cli --list-ports` lists "
                                       "the ports";
    QTest::newRow("not a serial port") << "file" << QString();
    QTest::newRow("held by another program")
        << "held"
        << "PORT is busy, another program has it open; close that program and try again";
    // As nobody, outside the file's group.
    QTest::newRow("not in the device's group")
        << "group"
        << "PORT belongs to the group dialout, which nobody is not in; run `sudo "
           "usermod -aG dialout nobody`, then log out and in again";
    QTest::newRow("held by another run, named by a link")
        << "linked"
        << "PORT is busy, another program has it open; close that program and try again";
}

void tst_Cli::portCannotBeOpened()
{
    QFETCH(QString, kind);
    QFETCH(QString, advice);

    QString port = QStringLiteral("/dev/rangefinder-test-no-such-port");
    QTemporaryFile file(QStringLiteral("/tmp/rangefinder-port-XXXXXX"));
    QTemporaryDir dir;
    QSerialPort holder;
    MeasurementSession earlier(sessionOnSim(*sim, 1, 1000));
    QStringList command{RANGEFINDER_CLI};
    if (kind == QLatin1String("file") || kind == QLatin1String("group")) {
        QVERIFY(file.open());
        port = file.fileName();
    } else if (kind == QLatin1String("held")) {
        port = sim->portName();
        holder.setPortName(port);
        QVERIFY(holder.open(QIODevice::ReadWrite));
    } else if (kind == QLatin1String("linked")) {
        QVERIFY2(earlier.open(), qPrintable(earlier.errorString()));
        port = dir.filePath(QStringLiteral("COM1"));
        QVERIFY(QFile::link(sim->portName(), port));
    }
    if (kind == QLatin1String("group")) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        const group *dialout = ::getgrnam("dialout");
        if (::geteuid() != 0 || setpriv.isEmpty() || !dialout)
            QSKIP("needs root, setpriv and the group dialout");
        QCOMPARE(::chown(qPrintable(port), 0, dialout->gr_gid), 0);
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                    QFile::WriteGroup));
        command =
            QStringList{setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command;
    }

    Run run;
    runCli(command.mid(1) + QStringList{"--port", port, "--format", "csv"}, run, 20000, QString(),
           command.first());
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.out, QString()); // not even the header
    const QString start = QStringLiteral("rangefinder-cli: cannot open %1: ").arg(port);
    QVERIFY2(run.err.startsWith(start), qPrintable(run.err));
    QVERIFY(run.err.size() > start.size() + 1);
    if (!advice.isEmpty())
        QCOMPARE(run.err, start + QString(advice).replace("PORT", port) + "\n");
    QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
    QCOMPARE(sim->commandCount(), 0);
}

void tst_Cli::lineSettings_data()
{
    QTest::addColumn<QString>("baud");
    QTest::addColumn<int>("speed");

    QTest::newRow("default") << QString() << int(B9600);
    QTest::newRow("9600") << "9600" << int(B9600);
    QTest::newRow("115200") << "115200" << int(B115200);
    QTest::newRow("230400") << "230400" << int(B230400);
}

void tst_Cli::lineSettings()
{
    QFETCH(QString, baud);
    QFETCH(int, speed);

    QStringList arguments = withPort({"--count", "0", "--interval", "50"});
    if (!baud.isEmpty())
        arguments << "--baud" << baud;
    QProcess process;
    process.start(QStringLiteral(RANGEFINDER_CLI), arguments);
    QTRY_VERIFY_WITH_TIMEOUT(sim->commandCount() >= 2, 10000);

    // What the terminal really holds while the program measures.
    verifyLineSettings(*sim, speed);
    if (QTest::currentTestFailed())
        return;

    ::kill(pid_t(process.processId()), SIGINT);
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 10000);
    QCOMPARE(process.exitCode(), 130);
    // Nothing but whole command frames went out, the window's eight bytes.
    const QByteArray received = sim->received();
    QVERIFY(received.size() >= 2 * kFrameSize);
    QCOMPARE(received, commandFrame().repeated(received.size() / kFrameSize));
}

void tst_Cli::formats_data()
{
    QTest::addColumn<QString>("format");

    QTest::newRow("text") << "text";
    QTest::newRow("csv") << "csv";
    QTest::newRow("jsonl") << "jsonl";
}

void tst_Cli::formats()
{
    QFETCH(QString, format);

    Run run;
    QVector<Record> records;
    measure({"--count", "3", "--interval", "100", "--unit", "ft"}, format, 0, run, records);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.size(), 3);
    QDateTime previous;
    for (const Record &r : records) {
        QCOMPARE(r.status, QStringLiteral("ok"));
        QCOMPARE(r.metres, QStringLiteral("17.8"));
        QCOMPARE(r.value, QStringLiteral("58.3989"));
        QCOMPARE(r.unit, QStringLiteral("ft"));
        QCOMPARE(r.raw, kHexReply178);
        bool ok = false;
        const int latency = r.latency.toInt(&ok);
        QVERIFY(ok);
        QVERIFY2(latency >= kBurstSilenceMs && latency < 1000, qPrintable(r.latency));
        const QDateTime time = QDateTime::fromString(r.time, Qt::ISODateWithMs);
        QVERIFY(!previous.isValid() || previous.msecsTo(time) >= 50);
        previous = time;
    }
    QCOMPARE(sim->received(), commandFrame().repeated(3));
    QVERIFY2(run.err.startsWith(QStringLiteral("measurements: 3, ok: 3, failed: 0, timeouts: 0\n"
                                               "distance (m): min 17.8, max 17.8, mean 17.8, "
                                               "sd 0\nlatency (ms): p50 ")),
             qPrintable(run.err));
}

void tst_Cli::values_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("metres");
    QTest::addColumn<QString>("shown"); // what the window shows in that unit

    // Each unit once; every value in every unit is in tst_measurementtext's table.
    QTest::newRow("1 m") << 0x1 << "m"
                         << "0.1"
                         << "0.1";
    QTest::newRow("b2 ft") << 0xB2 << "ft"
                           << "17.8"
                           << "58.3989";
    QTest::newRow("ffff yd") << 0xFFFF << "yd"
                             << "6553.5"
                             << "7166.99";
}

void tst_Cli::values()
{
    QFETCH(int, raw);
    QFETCH(QString, unit);
    QFETCH(QString, metres);
    QFETCH(QString, shown);

    SimulatorSettings settings;
    settings.distance = raw / 10.0;
    sim->setSettings(settings);
    for (const QString &format : {QStringLiteral("csv"), QStringLiteral("jsonl")}) {
        Run run;
        QVector<Record> records;
        measure({"--unit", unit}, format, 0, run, records);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].raw, QString::fromLatin1(replyFrame(1, quint16(raw)).toHex()));
        QCOMPARE(records[0].metres, metres);
        QCOMPARE(records[0].value, shown);
        if (format == QLatin1String("jsonl")) {
            // The numbers as written, not only as parsed back.
            QVERIFY2(run.out.contains(QStringLiteral("\"value\":%1}").arg(shown)),
                     qPrintable(run.out));
            QVERIFY2(run.out.contains(QStringLiteral("\"metres\":%1,").arg(metres)),
                     qPrintable(run.out));
        }
    }
}

void tst_Cli::countAndDuration_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("atLeastMs"); // the run lasts at least this long

    QTest::newRow("one by default") << QStringList{} << 1 << 0 << 0;
    QTest::newRow("count 1") << QStringList{"--count", "1", "--interval", "5000"} << 1 << 0 << 0;
    QTest::newRow("count 4") << QStringList{"--count", "4", "--interval", "150"} << 4 << 150 << 450;
    // Commands at 0, 300, 600 and 900 ms; the next one would fall after the end.
    QTest::newRow("duration 1.15 s")
        << QStringList{"--duration", "1.15", "--interval", "300"} << 4 << 300 << 1150;
    QTest::newRow("duration shorter than the interval")
        << QStringList{"--duration", "0.3", "--interval", "5000"} << 1 << 0 << 300;
}

void tst_Cli::countAndDuration()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, expected);
    QFETCH(int, intervalMs);
    QFETCH(int, atLeastMs);

    Run run;
    QVector<Record> records;
    measure(arguments, QStringLiteral("csv"), 0, run, records);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.size(), expected);
    QCOMPARE(sim->commandCount(), expected);
    QVERIFY2(run.wallMs >= atLeastMs, qPrintable(QString::number(run.wallMs)));
    QVERIFY2(run.err.startsWith(QStringLiteral("measurements: %1, ok: %1,").arg(expected)),
             qPrintable(run.err));
    const QVector<qint64> times = commandTimesMs();
    for (int i = 1; i < times.size(); ++i) {
        const qint64 gap = times[i] - times[i - 1];
        // Measured where the simulator reads the commands, so a little jitter either way.
        QVERIFY2(gap >= intervalMs - 20 && gap < intervalMs + 250,
                 qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
    }
}

void tst_Cli::timeouts()
{
    SimulatorSettings settings;
    settings.silenceRate = 1;
    sim->setSettings(settings);

    Run run;
    QVector<Record> records;
    measure({"--count", "3", "--interval", "50", "--timeout", "200"}, QStringLiteral("jsonl"), 1,
            run, records);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.size(), 3);
    for (const Record &r : records) {
        QCOMPARE(r.status, QStringLiteral("timeout"));
        QCOMPARE(r.metres, QString());
        QCOMPARE(r.value, QString());
        QCOMPARE(r.latency, QString());
        QCOMPARE(r.raw, QString());
    }
    QVERIFY(run.out.contains(QStringLiteral("\"latency_ms\":null,\"metres\":null,\"raw\":null,")));
    // The interval is shorter than the timeout: each command waited for the one before it.
    const QVector<qint64> times = commandTimesMs();
    QCOMPARE(times.size(), 3);
    for (int i = 1; i < times.size(); ++i)
        QVERIFY2(times[i] - times[i - 1] >= 190,
                 qPrintable(QString::number(times[i] - times[i - 1])));
    QCOMPARE(run.err, QStringLiteral("measurements: 3, ok: 0, failed: 0, timeouts: 3\n"
                                     "distance (m): no valid measurement\n"
                                     "latency (ms): no reply\n"));
}

void tst_Cli::failures_data()
{
    QTest::addColumn<double>("failureRate");
    QTest::addColumn<double>("distance");

    QTest::newRow("status 0") << 1.0 << 17.8;
    QTest::newRow("distance 0") << 0.0 << 0.0;
    QTest::newRow("status 0, distance 0") << 1.0 << 0.0;
}

void tst_Cli::failures()
{
    QFETCH(double, failureRate);
    QFETCH(double, distance);

    SimulatorSettings settings;
    settings.failureRate = failureRate;
    settings.distance = distance;
    sim->setSettings(settings);
    const QString raw =
        QString::fromLatin1(replyFrame(failureRate > 0 ? 0 : 1, distanceTenths(distance)).toHex());

    Run run;
    QVector<Record> records;
    measure({"--count", "2", "--interval", "100"}, QStringLiteral("csv"), 1, run, records);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.size(), 2);
    for (const Record &r : records) {
        QCOMPARE(r.status, QStringLiteral("failed"));
        QCOMPARE(r.metres, QString());
        QCOMPARE(r.value, QString());
        QCOMPARE(r.raw, raw);
        QVERIFY(!r.latency.isEmpty());
    }
    QVERIFY2(run.err.startsWith(QStringLiteral("measurements: 2, ok: 0, failed: 2, timeouts: 0\n"
                                               "distance (m): no valid measurement\n"
                                               "latency (ms): p50 ")),
             qPrintable(run.err));
}

void tst_Cli::noiseBetweenReplies_data()
{
    QTest::addColumn<int>("noiseBytes");
    QTest::addColumn<int>("noiseDelayMs");
    QTest::addColumn<bool>("joined"); // the noise is part of the reply's burst

    QTest::newRow("right behind the reply") << 3 << 0 << true;
    QTest::newRow("short, 60 ms later") << 3 << 60 << false;
    // Without a 0x55 it is no reply, so not even one that answered no command.
    QTest::newRow("long, 60 ms later") << 12 << 60 << false;
}

void tst_Cli::noiseBetweenReplies()
{
    QFETCH(int, noiseBytes);
    QFETCH(int, noiseDelayMs);
    QFETCH(bool, joined);

    SimulatorSettings settings;
    settings.noise = SimulatorSettings::Noise::BetweenReplies;
    settings.noiseBytes = noiseBytes;
    settings.noiseDelayMs = noiseDelayMs;
    sim->setSettings(settings);

    Run run;
    QVector<Record> records;
    measure({"--count", "4", "--interval", "250"}, QStringLiteral("csv"), 0, run, records);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.size(), 4);
    for (const Record &r : records) {
        QCOMPARE(r.status, QStringLiteral("ok"));
        QCOMPARE(r.metres, QStringLiteral("17.8"));
        if (joined) {
            QVERIFY2(r.raw.startsWith(kHexReply178), qPrintable(r.raw));
            QCOMPARE(r.raw.size(), 2 * (kFrameSize + noiseBytes));
        } else {
            QCOMPARE(r.raw, kHexReply178);
        }
    }
    QVERIFY2(!run.err.contains(QStringLiteral("ignored:")), qPrintable(run.err));
}

void tst_Cli::deviceGoesAway_data()
{
    QTest::addColumn<int>("unplugAfter"); // replies; 0: between commands, by the test
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("replugMs");     // -1: never
    QTest::addColumn<int>("signalNumber"); // sent a second after the device went; 0: none
    QTest::addColumn<int>("records");      // all ok
    QTest::addColumn<int>("exitCode");

    const QStringList twenty{"--count", "20"};
    const QStringList reconnect{"--reconnect"};
    QTest::newRow("right after a reply") << 5 << twenty << -1 << 0 << 5 << 4;
    // Its last reply is in before the device goes: the run is complete.
    QTest::newRow("right after the last reply")
        << 3 << QStringList{"--count", "3"} << -1 << 0 << 3 << 0;
    QTest::newRow("between commands") << 0 << QStringList{"--count", "10"} << -1 << 0 << 1 << 4;
    QTest::newRow("reconnect, back a second later")
        << 5 << twenty + reconnect << 1000 << 0 << 20 << 0;
    // A disconnection fails the accuracy check unless allowed.
    const QStringList judged =
        twenty + reconnect + QStringList{"--reference", "17.8", "--tolerance", "1"};
    QTest::newRow("reconnect, back, judged") << 5 << judged << 1000 << 0 << 20 << 1;
    QTest::newRow("reconnect, back, judged allowing it")
        << 5 << judged + QStringList{"--allowed-disconnections", "1"} << 1000 << 0 << 20 << 0;
    QTest::newRow("reconnect, never back within --duration")
        << 2 << QStringList{"--duration", "2.5"} + reconnect << -1 << 0 << 2 << 4;
    QTest::newRow("reconnect, SIGINT while away")
        << 2 << QStringList{"--count", "0"} + reconnect << -1 << int(SIGINT) << 2 << 130;
}

void tst_Cli::deviceGoesAway()
{
    QFETCH(int, unplugAfter);
    QFETCH(QStringList, arguments);
    QFETCH(int, replugMs);
    QFETCH(int, signalNumber);
    QFETCH(int, records);
    QFETCH(int, exitCode);
    const bool reconnect = arguments.contains(QStringLiteral("--reconnect"));

    // On a thread of its own, the device goes as soon as its last reply has been read.
    DeviceThread deviceThread;
    DeviceSimulator *device = deviceThread.device;
    QVERIFY2(device->start(), qPrintable(device->errorString()));
    SimulatorSettings settings;
    settings.unplugAfterReplies = unplugAfter;
    device->setSettings(settings);
    // Opened by a stable name, as under /dev/serial/by-id/.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("by-id"));
    QVERIFY(QFile::link(device->portName(), link));

    QProcess process;
    process.start(
        QStringLiteral(RANGEFINDER_CLI),
        QStringList{"--port", link, "--interval", unplugAfter ? "100" : "8000", "--format", "csv"} +
            arguments);
    QElapsedTimer sinceUnplug;
    if (!unplugAfter) {
        QTRY_COMPARE_WITH_TIMEOUT(device->replyCount(), 1, 10000);
        QTest::qWait(200);
        device->unplug();
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(device->isUnplugged(), 10000);
    }
    sinceUnplug.start();
    // Its link goes with it, as udev's: the terminal's number may soon be another's.
    if (reconnect)
        QVERIFY(QFile::remove(link));
    if (replugMs >= 0) {
        // Back under its link as another terminal: this one holds the old one's number.
        const int holder = ::posix_openpt(O_RDWR | O_NOCTTY);
        QTest::qWait(replugMs);
        settings.unplugAfterReplies = 0;
        device->setSettings(settings);
        bool started = false;
        QMetaObject::invokeMethod(device, "start", Qt::BlockingQueuedConnection,
                                  Q_RETURN_ARG(bool, started));
        ::close(holder);
        QVERIFY(started && QFile::link(device->portName(), link));
    } else if (signalNumber) {
        QTest::qWait(1000);
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(pid_t(process.processId()), signalNumber);
    }
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 15000);
    // Noticed at once, not at the next write eight seconds on.
    if (!reconnect)
        QVERIFY2(sinceUnplug.elapsed() < 4000, qPrintable(QString::number(sinceUnplug.elapsed())));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);

    const QString err = QString::fromUtf8(process.readAllStandardError());
    QStringList errLines = nonEmptyLines(err);
    if (exitCode != 0 || reconnect) {
        QVERIFY2(errLines.size() >= 4, qPrintable(err));
        // In words an operator can act on, not the port's "Unknown error" and the like.
        QVERIFY2(QRegularExpression(
                     QStringLiteral("^rangefinder-cli: the device on %1 went away%2: it was "
                                    "removed or stopped answering( \\((read|resource|write) "
                                    "error: .+\\))?%3$")
                         .arg(QRegularExpression::escape(link),
                              reconnect ? " at " + kIsoTime : QString(),
                              reconnect ? "; opening it again every 500 ms" : ""))
                     .match(errLines[0])
                     .hasMatch(),
                 qPrintable(errLines[0]));
        QVERIFY2(!errLines[0].contains(QRegularExpression(QStringLiteral("Unknown|ioctl"))),
                 qPrintable(errLines[0]));
        errLines.removeFirst();
    }
    if (replugMs >= 0)
        QVERIFY2(errLines.takeFirst().startsWith("rangefinder-cli: the device on " + link +
                                                 " is back at "),
                 qPrintable(err));
    QVERIFY2(errLines.value(0).startsWith(QStringLiteral("measurements: %1, ok: %1,").arg(records)),
             qPrintable(err));
    if (reconnect)
        QVERIFY2(
            errLines.value(0).endsWith(", disconnections: 1") &&
                err.contains(replugMs >= 0 ? "the device came back\n" : "still away at the end\n"),
            qPrintable(err));
    if (arguments.contains("--reference"))
        QVERIFY2(
            errLines.last().startsWith(exitCode == 0 ? "PASS" : "FAIL: the device went away once"),
            qPrintable(err));

    // Every record is whole, every reply that came in has one, the gap one.
    QVector<Record> parsed;
    parseRecords(QStringLiteral("csv"), QString::fromUtf8(process.readAllStandardOutput()), parsed);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(parsed.size(), records + (reconnect ? 1 : 0));
    for (int i = 0; i < parsed.size(); ++i)
        QCOMPARE(parsed[i].status,
                 QString::fromLatin1(reconnect && i == unplugAfter ? "disconnected" : "ok"));
    if (reconnect) {
        const qint64 away = parsed[unplugAfter].latency.toLongLong();
        QVERIFY2(away >= std::max(replugMs, 900) && away < 8000, qPrintable(QString::number(away)));
    }
}

void tst_Cli::severalDevices_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("third"); // what the third device does
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("judged"); // each device its own verdict

    QTest::newRow("one silent, csv") << "csv"
                                     << "silent" << 1 << false;
    QTest::newRow("one silent, judged") << "csv"
                                        << "silent" << 1 << true;
    QTest::newRow("one that cannot be opened, jsonl") << "jsonl"
                                                      << "missing" << 3 << false;
    QTest::newRow("one that goes away, text") << "text"
                                              << "unplugged" << 4 << false;
    QTest::newRow("one that goes away and comes back, csv") << "csv"
                                                            << "replugged" << 0 << false;
}

void tst_Cli::severalDevices()
{
    QFETCH(QString, format);
    QFETCH(QString, third);
    QFETCH(int, exitCode);
    QFETCH(bool, judged);

    DeviceSimulator second, trouble;
    QVERIFY(second.start() && trouble.start());
    SimulatorSettings settings;
    settings.distance = 20;
    second.setSettings(settings);
    const bool replugged = third == QLatin1String("replugged");
    settings.silenceRate = third == QLatin1String("silent") ? 1 : 0;
    settings.unplugAfterReplies = third == QLatin1String("unplugged") || replugged ? 1 : 0;
    trouble.setSettings(settings);
    QTemporaryDir dir;
    QString troublePort = third == QLatin1String("missing")
                              ? QStringLiteral("/dev/rangefinder-test-no-such-port")
                              : trouble.portName();
    if (replugged) {
        troublePort = dir.filePath(QStringLiteral("by-id"));
        QVERIFY(QFile::link(trouble.portName(), troublePort));
        connect(&trouble, &DeviceSimulator::unplugged, this, [&] {
            QFile::remove(troublePort);
            QTimer::singleShot(600, this, [&] {
                settings.unplugAfterReplies = 0;
                trouble.setSettings(settings);
                QVERIFY(trouble.start() && QFile::link(trouble.portName(), troublePort));
            });
        });
    }

    Run run;
    QStringList arguments{
        "--port", sim->portName(), "--port", second.portName(), "--port", troublePort, "--count",
        "5",      "--interval",    "100",    "--timeout",       "800",    "--format",  format};
    if (replugged)
        arguments << QStringLiteral("--reconnect");
    if (judged)
        arguments << QStringList{"--reference", "18.9", "--tolerance", "12"};
    runCli(arguments, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, exitCode);
    QVector<Record> records;
    parseRecords(format, run.out, records, true);
    if (QTest::currentTestFailed())
        return;
    auto recordsOf = [&records](const QString &port, const QString &status) {
        return std::count_if(records.cbegin(), records.cend(),
                             [&](const Record &r) { return r.port == port && r.status == status; });
    };
    // The healthy two at their own pace, held up by nothing the third does.
    for (const DeviceSimulator *device : {sim, &second}) {
        QCOMPARE(recordsOf(device->portName(), "ok"), 5);
        const QString summary =
            QStringLiteral("%1: measurements: 5, ok: 5, failed: 0, timeouts: 0\n"
                           "%1: distance (m): min %2,")
                .arg(device->portName(), device == sim ? "17.8" : "20");
        QVERIFY2(run.err.contains(summary), qPrintable(run.err));
        QCOMPARE(run.err.contains(device->portName() + ": PASS"), judged);
        const QVector<SimulatorEvent> commands = eventsOf(*device, SimulatorEvent::Command);
        for (int i = 1; i < commands.size(); ++i) {
            const qint64 gap = (commands[i].steadyNs - commands[i - 1].steadyNs) / 1000000;
            QVERIFY2(gap >= 80 && gap < 400, qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
        }
    }
    const int troubleOk = third == QLatin1String("unplugged") ? 1 : replugged ? 5 : 0;
    QCOMPARE(recordsOf(troublePort, "ok"), troubleOk);
    QCOMPARE(recordsOf(troublePort, "disconnected"), replugged ? 1 : 0);
    QCOMPARE(recordsOf(troublePort, "timeout"), third == QLatin1String("silent") ? 5 : 0);
    if (third == QLatin1String("missing"))
        QVERIFY2(
            run.err.startsWith("rangefinder-cli: cannot open " + troublePort + ": there is no"),
            qPrintable(run.err));
    else
        QVERIFY2(run.err.contains(QStringLiteral("%1: measurements: %2, ok: %3,")
                                      .arg(troublePort)
                                      .arg(troubleOk == 1 ? 1 : 5)
                                      .arg(troubleOk)),
                 qPrintable(run.err));
    QCOMPARE(run.err.contains(troublePort + ": FAIL: no valid reading"), judged);
}

// What this machine has: every port the system reports, and whether the test opens it.
void tst_Cli::listPorts()
{
    Run run;
    runCli({"--list-ports"}, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, 0);
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty())
        QCOMPARE(run.out, QStringLiteral("no serial port found\n"));
    for (const QSerialPortInfo &info : ports) {
        QSerialPort port(info);
        const bool opens = port.open(QIODevice::ReadWrite);
        port.close();
        const QRegularExpression entry(
            QStringLiteral("^%1\n  description: .+\n  manufacturer: .+\n  serial number: .+\n"
                           "  USB vendor:product: (-|[0-9a-f]{4}:[0-9a-f]{4})\n  stable path: "
                           "(-|/dev/serial/by-id/.+)\n"
                           "  can open: %2$")
                .arg(QRegularExpression::escape(info.systemLocation()),
                     opens ? QStringLiteral("yes") : QStringLiteral("no, .+")),
            QRegularExpression::MultilineOption);
        QVERIFY2(entry.match(run.out).hasMatch(), qPrintable(run.out));
    }
    QCOMPARE(run.out.count(QStringLiteral("\n  can open: ")), ports.size());
}

void tst_Cli::interrupted_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("outputBlocked"); // into a FIFO whose reader stopped reading
    QTest::addColumn<bool>("fromFifo");      // --from a FIFO whose writer stopped writing

    QTest::newRow("SIGINT") << int(SIGINT) << 130 << false << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 143 << false << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << 129 << false << false;
    QTest::newRow("SIGINT, output blocked") << int(SIGINT) << 130 << true << false;
    QTest::newRow("SIGTERM, output blocked") << int(SIGTERM) << 143 << true << false;
    QTest::newRow("SIGINT, --from a FIFO") << int(SIGINT) << 130 << false << true;
    QTest::newRow("SIGTERM, --from a FIFO") << int(SIGTERM) << 143 << false << true;
}

void tst_Cli::interrupted()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    QFETCH(bool, outputBlocked);
    QFETCH(bool, fromFifo);

    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("records"));
    const QString chart = dir.filePath(QStringLiteral("chart")); // no extension
    QStringList arguments{"--format", "jsonl", "--plot", chart, "--plot-format", "png"};
    int reader = -1;
    QProcess process;
    if (outputBlocked) {
        QCOMPARE(::mkfifo(qPrintable(fifo), 0600), 0);
        reader = ::open(qPrintable(fifo), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        // The smallest pipe: a few dozen records fill it.
        QVERIFY(::fcntl(reader, F_SETPIPE_SZ, 4096) > 0);
        process.setStandardOutputFile(fifo);
    }
    const QString input = dir.filePath(QStringLiteral("input"));
    if (fromFifo) {
        QCOMPARE(::mkfifo(qPrintable(input), 0600), 0);
        arguments << "--from" << input;
    } else {
        arguments = withPort(arguments << "--count"
                                       << "0"
                                       << "--interval"
                                       << "20");
    }
    process.start(QStringLiteral(RANGEFINDER_CLI), arguments);
    QByteArray out;
    connect(&process, &QProcess::readyReadStandardOutput, this,
            [&] { out += process.readAllStandardOutput(); });
    int writer = -1;
    if (fromFifo) {
        QTRY_VERIFY((writer = ::open(qPrintable(input), O_WRONLY | O_NONBLOCK)) >= 0);
        const QByteArray records = formatRecord(measurement(Measurement::Status::Ok, 1, 0xB2, 12),
                                                RecordFormat::Jsonl, LengthUnit::Metre)
                                       .toUtf8()
                                       .repeated(3);
        QCOMPARE(::write(writer, records.constData(), size_t(records.size())),
                 ssize_t(records.size()));
        // All read, and waiting for more.
        int unread = -1;
        QTRY_VERIFY(::ioctl(writer, FIONREAD, &unread) == 0 && unread == 0);
    } else if (outputBlocked) {
        // Blocked once the device hears no command for a while.
        int commands = -1;
        for (int i = 0; i < 50 && commands != sim->commandCount(); ++i) {
            commands = sim->commandCount();
            QTest::qWait(300);
        }
        QVERIFY(commands == sim->commandCount() && commands > 3);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(out.count('\n') >= 3, 10000);
    }
    ::kill(pid_t(process.processId()), signalNumber);
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 10000);
    if (outputBlocked) {
        char buffer[8192];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
            out.append(buffer, int(n));
        ::close(reader);
    }
    out += process.readAllStandardOutput();
    if (writer >= 0)
        ::close(writer);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    QCOMPARE(QImage(chart, "PNG").size(), QSize(1200, 600));
    // The port released: its exclusive mark lifted (a normal user could not even open it).
    int exclusive = 1;
    const int port = ::open(qPrintable(sim->portName()), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(port >= 0 && ::ioctl(port, TIOCGEXCL, &exclusive) == 0);
    ::close(port);
    QCOMPARE(exclusive, 0);

    QVector<Record> records;
    parseRecords(QStringLiteral("jsonl"), QString::fromUtf8(out), records);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(records.size() >= 3);
    for (const Record &r : records)
        QCOMPARE(r.status, QStringLiteral("ok"));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.startsWith(QStringLiteral("measurements: %1, ok: %1, failed: 0, timeouts: 0\n")
                                .arg(records.size())),
             qPrintable(err));
    QVERIFY(err.contains(QStringLiteral("\nlatency (ms): p50 ")));
}

void tst_Cli::outputLost_data()
{
    QTest::addColumn<QString>("redirection");
    QTest::addColumn<QString>("message");

    QTest::newRow("full device") << "> /dev/full"
                                 << "cannot write the records: No space left on device";
    QTest::newRow("file that cannot grow") << "> 'RECORDS'"
                                           << "cannot write the records: File too large";
    QTest::newRow("file that cannot grow, --from") << "--from 'INPUT' > 'RECORDS'"
                                                   << "cannot write the records: File too large";
    QTest::newRow("closed") << ">&-"
                            << "standard output is closed";
    QTest::newRow("chart") << "--plot /nonexistent/run.png > /dev/null"
                           << "cannot write the chart /nonexistent/run.png: No such file or "
                              "directory";
    QTest::newRow("report") << "--reference 17.8 --tolerance 1 --junit /nonexistent/r.xml > "
                               "/dev/null"
                            << "cannot write the report /nonexistent/r.xml: No such file or "
                               "directory";
}

void tst_Cli::outputLost()
{
    QFETCH(QString, redirection);
    QFETCH(QString, message);

    // The file may grow to 512 or 1024 bytes, as the shell counts: the header and a few records.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("records.csv"));
    // Read back, 200 records go out in one block.
    const QString input = dir.filePath(QStringLiteral("run.csv"));
    const bool fromFile = redirection.contains(QStringLiteral("INPUT"));
    const QString record = formatRecord(measurement(Measurement::Status::Ok, 1, 0xB2, 12),
                                        RecordFormat::Csv, LengthUnit::Metre);
    QVERIFY(writeBytes(input, (recordHeader(RecordFormat::Csv) + record.repeated(200)).toUtf8()));
    redirection.replace(QStringLiteral("RECORDS"), file).replace(QStringLiteral("INPUT"), input);
    QProcess process;
    process.start(QStringLiteral("/bin/sh"),
                  QStringList{"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\" " + redirection,
                              RANGEFINDER_CLI} +
                      (fromFile
                           ? QStringList{"--format", "csv"}
                           : withPort({"--count", "20", "--interval", "20", "--format", "csv"})));
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 20000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 5);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.split(QLatin1Char('\n')).contains("rangefinder-cli: " + message), qPrintable(err));

    // What did reach the file is whole records, and each of them counted.
    QFile written(file);
    if (!written.open(QIODevice::ReadOnly))
        return;
    QVector<Record> records;
    parseRecords(QStringLiteral("csv"), QString::fromUtf8(written.readAll()), records);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(records.size() >= 2 && records.size() < 20);
    // Those read back are counted whether or not they were written.
    QVERIFY2(err.contains(QStringLiteral("measurements: %1,").arg(fromFile ? 200 : records.size())),
             qPrintable(err));
}

void tst_Cli::station_data()
{
    QTest::addColumn<double>("offset");
    QTest::addColumn<double>("spread");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("tolerance");
    QTest::addColumn<QStringList>("failed"); // the criteria's first words
    QTest::addColumn<QString>("message");    // how the first failure begins

    QTest::newRow("good device") << 0.0 << 0.02 << false << "0.5" << QStringList{} << QString();
    QTest::newRow("biased device")
        << 0.8 << 0.0 << false << "1" << QStringList{"Cgk"}
        << QStringLiteral("bias +0.800 m exceeds the 0.200 m that Cgk 1.33 allows with s "
                          "0.000 m (Cgk -inf)");
    QTest::newRow("scattering device")
        << 0.0 << 0.3 << false << "1.5" << QStringList{"Cg", "Cgk"} << "Cg 0.";
    QTest::newRow("silent device")
        << 0.0 << 0.0 << true << "1" << QStringList{"readings", "Cg", "Cgk", "failed"}
        << "no valid reading to judge against 16.8 to 18.8 m";
}

// A run judged on the simulator, then read back from its CSV and judged again; both JUnit
// reports read by python3-junitparser.
void tst_Cli::station()
{
    QFETCH(double, offset);
    QFETCH(double, spread);
    QFETCH(bool, silent);
    QFETCH(QString, tolerance);
    QFETCH(QStringList, failed);
    QFETCH(QString, message);

    SimulatorSettings settings;
    settings.offset = offset;
    settings.spread = spread;
    settings.silenceRate = silent ? 1 : 0;
    sim->setSettings(settings);
    QTemporaryDir dir;
    const QString count = silent ? "3" : "30";
    const QStringList judged{"--reference", "17.8", "--tolerance", tolerance, "--format", "csv"};
    Run live;
    runCli(withPort(judged + QStringList{"--count", count, "--interval", "20", "--timeout", "200",
                                         "--junit", dir.filePath("live.xml")}),
           live);
    QVERIFY(saveLogText(dir.filePath("run.csv"), live.out));
    Run readBack;
    runCli(judged +
               QStringList{"--from", dir.filePath("run.csv"), "--junit", dir.filePath("from.xml")},
           readBack);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(live.exitCode, failed.isEmpty() ? 0 : 1);
    QCOMPARE(readBack.exitCode, live.exitCode);
    const QString verdict = live.err.mid(live.err.indexOf("accuracy (m): reference 17.8"));
    QVERIFY2(readBack.err.endsWith(verdict), qPrintable(readBack.err));
    const QString last = nonEmptyLines(verdict).constLast();
    QVERIFY2(last.startsWith(failed.isEmpty() ? "PASS: 5 of 5 criteria met" : "FAIL: " + message),
             qPrintable(live.err));
    const QStringList failures = failed.isEmpty() ? QStringList() : last.mid(6).split("; ");

    for (const QString &name : {QStringLiteral("live.xml"), QStringLiteral("from.xml")}) {
        QProcess python;
        python.start("/usr/bin/python3", {"-c",
                                          "import json, sys\n"
                                          "from junitparser import JUnitXml\n"
                                          "for s in JUnitXml.fromfile(sys.argv[1]):\n"
                                          "    print(json.dumps([s.name, s.tests, "
                                          "{p.name: p.value for p in s.properties()}, "
                                          "[[c.name, c.classname] + [r.message for r in "
                                          "c.result] for c in s]]))",
                                          dir.filePath(name)});
        QVERIFY(python.waitForFinished(20000));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        const QByteArray out = python.readAllStandardOutput();
        QCOMPARE(out.count('\n'), 1); // one device, one testsuite
        const QJsonArray suite = QJsonDocument::fromJson(out).array();
        const bool isLive = name == QLatin1String("live.xml");
        const QString device = isLive ? sim->portName() : dir.filePath("run.csv");
        QCOMPARE(suite[0].toString(), device);
        QCOMPARE(suite[1].toInt(), 5);
        const QJsonObject properties = suite[2].toObject();
        QCOMPARE(properties[isLive ? "port" : "file"].toString(), device);
        QCOMPARE(properties["baud"].toString(), isLive ? "9600" : "");
        QCOMPARE(properties["reference"].toString(), QStringLiteral("17.8"));
        QCOMPARE(properties["tolerance"].toString(), tolerance);
        QCOMPARE(properties["unit"].toString(), QStringLiteral("m"));
        QCOMPARE(properties["count"].toString(), count);
        QVERIFY(QDateTime::fromString(properties["start"].toString(), Qt::ISODateWithMs).isValid());
        QVERIFY(!properties["version"].toString().isEmpty());
        QStringList failedCases, caseMessages;
        for (const QJsonValue &c : suite[3].toArray()) {
            const QJsonArray testcase = c.toArray();
            QCOMPARE(testcase[1].toString(), device);
            if (testcase.size() > 2) {
                failedCases << testcase[0].toString().section(' ', 0, 0);
                caseMessages << testcase[2].toString();
            }
        }
        QCOMPARE(failedCases, failed);
        QCOMPARE(caseMessages, failures);
    }
}

// --- the session, in-process ---

void tst_Cli::intervalAndPendingReply_data()
{
    QTest::addColumn<int>("replyDelayMs"); // -1: the device never answers
    QTest::addColumn<int>("intervalMs");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("expectedGapMs");

    QTest::newRow("quick replies: the interval") << 0 << 250 << 1000 << 250;
    QTest::newRow("slow replies: each one awaited") << 300 << 100 << 2000 << 300;
    QTest::newRow("no replies: each timeout awaited") << -1 << 100 << 300 << 300;
}

void tst_Cli::intervalAndPendingReply()
{
    QFETCH(int, replyDelayMs);
    QFETCH(int, intervalMs);
    QFETCH(int, timeoutMs);
    QFETCH(int, expectedGapMs);

    const bool silent = replyDelayMs < 0;
    SimulatorSettings simulated;
    simulated.replyDelayMs = std::max(replyDelayMs, 0);
    simulated.silenceRate = silent ? 1.0 : 0.0;
    sim->setSettings(simulated);

    SessionSettings settings = sessionOnSim(*sim, 4, intervalMs, timeoutMs);
    QVector<Measurement> measurements;
    runSession(settings, measurements);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(measurements.size(), 4);
    for (const Measurement &m : measurements) {
        if (silent) {
            QCOMPARE(m.status, Measurement::Status::Timeout);
            QCOMPARE(m.latencyMs, qint64(-1));
        } else {
            QCOMPARE(m.status, Measurement::Status::Ok);
            QCOMPARE(m.reply.raw, quint16(178));
            QVERIFY2(m.latencyMs >= replyDelayMs + kBurstSilenceMs && m.latencyMs < timeoutMs,
                     qPrintable(QString::number(m.latencyMs)));
        }
    }
    // Commands never overlap, and one that is due goes out at once when the wait is over.
    const QVector<qint64> times = commandTimesMs();
    QCOMPARE(times.size(), 4);
    for (int i = 1; i < times.size(); ++i) {
        const qint64 gap = times[i] - times[i - 1];
        QVERIFY2(gap >= expectedGapMs - 20 && gap < expectedGapMs + 250,
                 qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
    }
}

void tst_Cli::repliesFromTheirStartByte_data()
{
    using S = Measurement::Status;
    QTest::addColumn<QList<QByteArray>>("pieces"); // after the command, 40 ms apart
    QTest::addColumn<bool>("strict");
    QTest::addColumn<S>("status");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("latencyAtLeastMs"); // a reply's latency runs to its last piece

    const QByteArray reply = QByteArray::fromHex("550000010000B2");
    const QByteArray noise = QByteArray::fromHex("5501020304050607");
    const QByteArray none;
    QTest::newRow("ten bytes without 0x55")
        << QList<QByteArray>{QByteArray::fromHex("0102030405060708090A")} << false << S::Timeout
        << none << 0;
    QTest::newRow("reply in 3 and 4 bytes")
        << QList<QByteArray>{reply.left(3), reply.mid(3)} << false << S::Ok << reply << 40;
    QTest::newRow("last byte in a later burst")
        << QList<QByteArray>{replyFrame(1, 178).left(7), replyFrame(1, 178).right(1)} << false
        << S::Ok << replyFrame(1, 178) << 0;
    QTest::newRow("noise with a 0x55") << QList<QByteArray>{noise} << false << S::Ok << noise << 0;
    QTest::newRow("noise with a 0x55, strict")
        << QList<QByteArray>{noise} << true << S::Rejected << noise << 0;
    QTest::newRow("last byte missing, strict")
        << QList<QByteArray>{reply} << true << S::Rejected << reply << 0;
    QTest::newRow("whole reply, strict")
        << QList<QByteArray>{replyFrame(1, 178)} << true << S::Ok << replyFrame(1, 178) << 0;
}

void tst_Cli::repliesFromTheirStartByte()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, strict);
    QFETCH(Measurement::Status, status);
    QFETCH(QByteArray, raw);
    QFETCH(int, latencyAtLeastMs);

    SimulatorSettings silent;
    silent.silenceRate = 1;
    sim->setSettings(silent);
    connect(sim, &DeviceSimulator::commandReceived, this, [this, pieces] {
        for (int i = 0; i < pieces.size(); ++i)
            QTimer::singleShot(40 * i, sim, [this, piece = pieces.at(i)] { sim->writeRaw(piece); });
    });
    SessionSettings settings = sessionOnSim(*sim, 1, 1000, 400);
    settings.strict = strict;
    QVector<Measurement> measurements;
    runSession(settings, measurements);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(measurements.size(), 1);
    QCOMPARE(statusName(measurements[0].status), statusName(status));
    QCOMPARE(measurements[0].burst, raw);
    if (status != Measurement::Status::Timeout)
        QVERIFY2(measurements[0].latencyMs >= latencyAtLeastMs,
                 qPrintable(QString::number(measurements[0].latencyMs)));
}

void tst_Cli::killedRunDoesNotShiftTheNext()
{
    SimulatorSettings slow;
    slow.replyDelayMs = 300;
    sim->setSettings(slow);
    QProcess killed;
    killed.start(QStringLiteral(RANGEFINDER_CLI), withPort({"--timeout", "5000"}));
    QTRY_COMPARE_WITH_TIMEOUT(sim->commandCount(), 1, 10000);
    // Not SIGKILL: a program killed outright leaves a pseudo-terminal marked for exclusive use,
    // which then refuses every open but root's.
    killed.terminate();
    QVERIFY(killed.waitForFinished());
    // Its reply waits in the terminal for whoever opens it next.
    QTRY_COMPARE_WITH_TIMEOUT(sim->replyCount(), 1, 5000);

    SimulatorSettings next;
    next.distance = 42.5;
    sim->setSettings(next);
    Run run;
    QVector<Record> records;
    measure({}, QStringLiteral("csv"), 0, run, records);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].metres, QStringLiteral("42.5"));
}

void tst_Cli::burstWithNoCommandIsIgnored()
{
    SessionSettings settings = sessionOnSim(*sim, 2, 700);
    settings.unit = LengthUnit::Yard;

    MeasurementSession session(settings);
    QSignalSpy measured(&session, &MeasurementSession::measured);
    QSignalSpy finished(&session, &MeasurementSession::finished);
    QVERIFY(session.open());
    session.start();
    QTRY_COMPARE_WITH_TIMEOUT(measured.count(), 1, 5000);
    // A whole reply nobody asked for, then a short residue: neither may become the next reply.
    sim->writeRaw(replyFrame(1, 999));
    QTest::qWait(60);
    sim->writeRaw(QByteArray::fromHex("55aa88"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);

    QCOMPARE(measured.count(), 2);
    for (const QList<QVariant> &arguments : measured) {
        const auto m = arguments.at(0).value<Measurement>();
        QCOMPARE(m.status, Measurement::Status::Ok);
        QCOMPARE(m.burst, replyFrame(1, 178));
    }
    QCOMPARE(session.ignoredBursts(), 1);
}

void tst_Cli::lateReplyIsNotTheNextOne()
{
    // Each reply comes after its command has timed out, before the next command is written.
    SimulatorSettings simulated;
    simulated.replyDelayMs = 250;
    sim->setSettings(simulated);

    SessionSettings settings = sessionOnSim(*sim, 2, 600, 100);
    QVector<Measurement> measurements;
    int ignored = -1;
    runSession(settings, measurements, &ignored);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(measurements.size(), 2);
    QCOMPARE(measurements[0].status, Measurement::Status::Timeout);
    QCOMPARE(measurements[1].status, Measurement::Status::Timeout);
    QCOMPARE(ignored, 1);
}

void tst_Cli::burstUnderwayAtTheWriteIsIgnored()
{
    // The device streams noise from a thread of its own, so the line stays busy however slowly
    // this thread runs, until the command reaches it; the reply comes 300 ms later.
    DeviceThread deviceThread;
    DeviceSimulator *device = deviceThread.device;
    QVERIFY2(device->start(), qPrintable(device->errorString()));
    SimulatorSettings quiet;
    quiet.replyDelayMs = 300;
    SimulatorSettings noisy = quiet;
    noisy.noise = SimulatorSettings::Noise::Continuous;
    noisy.noiseBytes = 3;
    noisy.noiseIntervalMs = 2;
    // Direct: runs in the device's thread before it answers the command.
    connect(
        device, &DeviceSimulator::commandReceived, device,
        [device, quiet] { device->setSettings(quiet); }, Qt::DirectConnection);

    const SessionSettings settings = sessionOnSim(*device, 1, 1000, 3000);
    MeasurementSession session(settings);
    QSignalSpy measured(&session, &MeasurementSession::measured);
    QSignalSpy finished(&session, &MeasurementSession::finished);
    QVERIFY(session.open());
    device->setSettings(noisy);
    QTest::qWait(150);
    session.start();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
    const int ignored = session.ignoredBursts();
    const int commands = device->commandCount();

    QCOMPARE(commands, 1);
    QCOMPARE(measured.count(), 1);
    const auto m = measured.at(0).at(0).value<Measurement>();
    QCOMPARE(m.status, Measurement::Status::Ok);
    QCOMPARE(m.burst, replyFrame(1, 178));
    QVERIFY2(m.latencyMs >= 300, qPrintable(QString::number(m.latencyMs)));
    // At least the burst that was underway; a stall of the device may have split off more.
    QVERIFY(ignored >= 1);
}

void tst_Cli::lineThatNeverFallsSilent()
{
    // 512 bytes of replies every millisecond from another thread: no 10 ms of silence ever, so
    // only the window's limit on a burst's length ends one.
    DeviceThread deviceThread;
    DeviceSimulator *device = deviceThread.device;
    QVERIFY2(device->start(), qPrintable(device->errorString()));
    auto *stream = new QTimer;
    stream->setTimerType(Qt::PreciseTimer);
    stream->setInterval(1);
    stream->moveToThread(&deviceThread.thread);
    const QByteArray chunk = replyFrame(1, 0xB2).repeated(64);
    connect(stream, &QTimer::timeout, device, [device, chunk] { device->writeRaw(chunk); });

    const SessionSettings settings = sessionOnSim(*device, 1, 1000, 5000);
    MeasurementSession session(settings);
    QSignalSpy measured(&session, &MeasurementSession::measured);
    QVERIFY(session.open());
    QMetaObject::invokeMethod(stream, "start");
    QTest::qWait(50);
    session.start();
    QTRY_COMPARE_WITH_TIMEOUT(measured.count(), 1, 10000);
    QMetaObject::invokeMethod(
        stream, [stream] { delete stream; }, Qt::BlockingQueuedConnection);

    const auto m = measured.at(0).at(0).value<Measurement>();
    QVERIFY(m.status != Measurement::Status::Timeout);
    QVERIFY2(m.burst.size() > kMaxBurstBytes, qPrintable(QString::number(m.burst.size())));
    QVERIFY2(m.latencyMs < 5000, qPrintable(QString::number(m.latencyMs)));
}

QTEST_MAIN(tst_Cli)
#include "tst_cli.moc"
