#include "cli/accuracy.h"
#include "cli/clitestsupport.h"
#include "cli/exitcodes.h"
#include "cli/recordformat.h"
#include "cli/runchart.h"
#include "cli/runstatistics.h"
#include "core/measurementtext.h"
#include "simulator/devicesimulator.h"
#include "support/filefaults.h"

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

using namespace rangefinder;

// rangefinder-cli's records, summary, accuracy verdicts and chart, formatted in-process.
class tst_CliRecords : public CliTest
{
    Q_OBJECT

private slots:
    void recordText_data();
    void recordText();
    void percentiles_data();
    void percentiles();
    void summary();
    void exitCodes_data();
    void exitCodes();
    void accuracy_data();
    void accuracy();
    void chart_data();
    void chart();
};

void tst_CliRecords::recordText_data()
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

void tst_CliRecords::recordText()
{
    QFETCH(Measurement, m);
    QFETCH(int, format);
    QFETCH(int, unit);
    QFETCH(QString, expected);

    QCOMPARE(formatRecord(m, RecordFormat(format), LengthUnit(unit)), expected);

    // Read back through the column table its writer used, a record is written the same again.
    if (RecordFormat(format) == RecordFormat::Text)
        return;
    const QString port = QStringLiteral("COM3");
    const QString written = formatRecord(m, RecordFormat(format), LengthUnit(unit), port);
    Measurement back;
    QString backPort;
    if (RecordFormat(format) == RecordFormat::Csv) {
        CsvRecordReader reader;
        QVERIFY(reader.readHeader(recordHeader(RecordFormat::Csv, true).trimmed()));
        QVERIFY(reader.read(written.trimmed(), back, backPort));
    } else {
        QVERIFY(readJsonRecord(written.trimmed(), back, backPort));
    }
    QCOMPARE(backPort, port);
    QCOMPARE(formatRecord(back, RecordFormat(format), LengthUnit(unit), port), written);
}

void tst_CliRecords::percentiles_data()
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

void tst_CliRecords::percentiles()
{
    QFETCH(QVector<qint64>, values);
    QFETCH(double, percent);
    QFETCH(qint64, expected);

    QCOMPARE(percentile(values, percent), expected);
}

void tst_CliRecords::summary()
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
    s.ignoredReplies = 2;
    // Distances in metres whatever the unit; the sample standard deviation of 17.8 and 100 is
    // 41.1 * sqrt(2). Latencies of every reply, failed ones included.
    QCOMPARE(formatSummary(s), QStringLiteral("measurements: 4, ok: 2, failed: 1, timeouts: 1\n"
                                              "distance (m): min 17.8, max 100, mean 58.9, "
                                              "sd 58.1242\n"
                                              "latency (ms): p50 15, p99 30\n"
                                              "ignored: 2 replies that answered no command\n"));
    QVERIFY(!s.allOk());

    // A gap counts apart from the measurements; only a run that ends in one ends as lost.
    s.add(disconnection(1426));
    QVERIFY2(formatSummary(s).startsWith(
                 "measurements: 4, ok: 2, failed: 1, timeouts: 1, disconnections: 1\n"),
             qPrintable(formatSummary(s)));
    QVERIFY(
        formatSummary(s).endsWith("away: 1.426 s in all; the device was still away at the end\n"));
    QVERIFY(s.endedAway);
    s.add(measurement(S::Ok, 1, 0xB2, 12));
    QVERIFY(formatSummary(s).endsWith("away: 1.426 s in all; the device came back\n"));
    QVERIFY(!s.endedAway);
}

Q_DECLARE_METATYPE(RunOutcome)

void tst_CliRecords::exitCodes_data()
{
    QTest::addColumn<RunOutcome>("outcome");
    QTest::addColumn<int>("code");

    using K = DeviceEnding::Kind;
    const DeviceEnding ok;
    DeviceEnding failed;
    failed.allOk = false;
    DeviceEnding away = failed;
    away.endedAway = true;
    const DeviceEnding lost{K::Lost, true, false, {}};
    const DeviceEnding unopened{K::NotOpened, true, false, {}};
    DeviceEnding passedDespiteFailures = failed;
    passedDespiteFailures.passed = true;
    DeviceEnding failedVerdict = ok;
    failedVerdict.passed = false;
    DeviceEnding awayThoughPassed = away;
    awayThoughPassed.passed = true;

    QTest::newRow("nothing to measure") << RunOutcome{} << 0;
    QTest::newRow("all ok") << RunOutcome{false, false, 0, {ok}} << 0;
    QTest::newRow("a failure") << RunOutcome{false, false, 0, {ok, failed}} << 1;
    QTest::newRow("the verdict over the failures")
        << RunOutcome{false, false, 0, {passedDespiteFailures}} << 0;
    QTest::newRow("a failed verdict") << RunOutcome{false, false, 0, {failedVerdict}} << 1;
    QTest::newRow("away at the end, verdict or not")
        << RunOutcome{false, false, 0, {awayThoughPassed}} << 4;
    QTest::newRow("lost above failed") << RunOutcome{false, false, 0, {failed, lost}} << 4;
    QTest::newRow("lost above unopened") << RunOutcome{false, false, 0, {unopened, lost}} << 4;
    QTest::newRow("unopened above failed") << RunOutcome{false, false, 0, {failed, unopened}} << 3;
    QTest::newRow("bad options") << RunOutcome{true, false, 0, {}} << 2;
    QTest::newRow("an input that failed, a device lost") << RunOutcome{true, false, 0, {away}} << 4;
    QTest::newRow("output lost above all devices")
        << RunOutcome{false, true, 0, {lost, unopened}} << 5;
    QTest::newRow("a signal above lost output") << RunOutcome{false, true, 15, {lost}} << 143;
    QTest::newRow("SIGINT") << RunOutcome{false, false, 2, {ok}} << 130;
}

void tst_CliRecords::exitCodes()
{
    QFETCH(RunOutcome, outcome);
    QFETCH(int, code);

    QCOMPARE(exitCodeOf(outcome), code);
}

void tst_CliRecords::accuracy_data()
{
    QTest::addColumn<QVector<int>>("tenths"); // of a metre; 0 a failed measurement, -1 a timeout
    QTest::addColumn<int>("unit");
    QTest::addColumn<double>("reference");
    QTest::addColumn<double>("tolerance");
    QTest::addColumn<int>("allowed");
    QTest::addColumn<QVector<double>>("figures"); // mean, bias, sd, largest deviation, Cg, Cgk
    QTest::addColumn<bool>("coarse");
    QTest::addColumn<QStringList>("failed"); // the criteria's first words
    QTest::addColumn<QString>("text");       // what the stderr lines hold, if set

    const double inf = std::numeric_limits<double>::infinity();
    const int m = int(LengthUnit::Metre);
    const double ft = 3.28084; // the feet in a metre
    // 10.0, 10.1, 10.1, 10.2 m: s = sqrt(0.02 / 3) = 0.0816497; with T = 1, Cg = 0.4 / 6s and
    // Cgk = (0.2 - 0.1) / 3s. The resolution 0.1 is 5 % of 2T exactly.
    const QVector<int> spread{100, 101, 101, 102};
    QTest::newRow("spread too wide")
        << spread << m << 10.0 << 1.0 << 0
        << QVector<double>{10.1, 0.1, 0.0816497, 0.2, 0.816497, 0.408248} << false
        << QStringList{"Cg", "Cgk"} << QString();
    QTest::newRow("the same in feet")
        << spread << int(LengthUnit::Foot) << 10 * ft << ft << 0
        << QVector<double>{10.1 * ft, 0.1 * ft, 0.0816497 * ft, 0.2 * ft, 0.816497, 0.408248}
        << false << QStringList{"Cg", "Cgk"} << QString();
    QTest::newRow("exact, s = 0") << QVector<int>{100, 100, 100} << m << 10.0 << 0.5 << 0
                                  << QVector<double>{10, 0, 0, 0, inf, inf} << true << QStringList{}
                                  << QString();
    // 0.2 T = 0.2 leaves no room for a bias of 0.3.
    QTest::newRow("biased, s = 0") << QVector<int>{103, 103, 103} << m << 10.0 << 1.0 << 0
                                   << QVector<double>{10.3, 0.3, 0, 0.3, inf, -inf} << false
                                   << QStringList{"Cgk"} << QString();
    // Deviations from the mean 10.3: -0.3 three times and 0.9, so s = sqrt(1.08 / 3) = 0.6.
    QTest::newRow("a reading outside")
        << QVector<int>{100, 100, 112, 100} << m << 10.0 << 1.0 << 0
        << QVector<double>{10.3, 0.3, 0.6, 1.2, 0.4 / 3.6, -0.1 / 1.8} << false
        << QStringList{"readings", "Cg", "Cgk"} << QString();
    QTest::newRow("a failure and a timeout")
        << QVector<int>{100, 0, 100, -1} << m << 10.0 << 1.0 << 0
        << QVector<double>{10, 0, 0, 0, inf, inf} << false << QStringList{"failed"} << QString();
    QTest::newRow("two allowed") << QVector<int>{100, 0, 100, -1} << m << 10.0 << 1.0 << 2
                                 << QVector<double>{10, 0, 0, 0, inf, inf} << false << QStringList{}
                                 << QString();
    QTest::newRow("one reading") << QVector<int>{101} << m << 10.0 << 1.0 << 0
                                 << QVector<double>{10.1, 0.1, 0, 0.1} << false
                                 << QStringList{"Cg", "Cgk"} << QString();
    QTest::newRow("none") << QVector<int>{-1} << m << 10.0 << 1.0 << 1
                          << QVector<double>{0, 0, 0, 0} << false
                          << QStringList{"readings", "Cg", "Cgk"} << QString();
    // A bias of exactly 0.1 * 2T fails with Cgk 0 on either side, however the readings round.
    QTest::newRow("bias 0.1 * 2T below")
        << QVector<int>{79, 79, 79} << m << 8.0 << 0.5 << 0
        << QVector<double>{7.9, -0.1, 0, -0.1, inf, 0} << true << QStringList{"Cgk"}
        << "FAIL: bias -0.100 m reaches 0.100 m";
    QTest::newRow("bias 0.1 * 2T above")
        << QVector<int>{81, 81, 81} << m << 8.0 << 0.5 << 0
        << QVector<double>{8.1, 0.1, 0, 0.1, inf, 0} << true << QStringList{"Cgk"} << "Cgk at 0.00";
    QTest::newRow("bias 0.1 * 2T, offset 0.2")
        << QVector<int>{127, 127} << m << 12.5 << 1.0 << 0
        << QVector<double>{12.7, 0.2, 0, 0.2, inf, 0} << false << QStringList{"Cgk"} << QString();
    // 6000 and 6000.6 m are 0.980 and 0.988 ft from the reference: outside, however near.
    QTest::newRow("a reading just outside, in feet")
        << QVector<int>{60000, 60006} << int(LengthUnit::Foot) << 19686.02 << 0.97 << 0
        << QVector<double>{19686.02365197, 0.00365197, 1.39194248, 0.98790394, 0.0464579, 0.0455833}
        << true << QStringList{"readings", "Cg", "Cgk"}
        << "2 of 2 readings outside 19685.05 to 19686.99 ft, the farthest +0.988 ft";
    QTest::newRow("reference and tolerance as given")
        << QVector<int>{45720, 45720} << int(LengthUnit::Foot) << 15000.04 << 0.05 << 0
        << QVector<double>{15000.0000228, -0.0399772, 0, -0.0399772, inf, -inf} << true
        << QStringList{"Cgk"} << "reference 15000.04, tolerance 0.05, n 2, mean 15000.000";
    // Far from 0, single precision would move every reading by up to 0.0002: sd 0.488.
    QTest::newRow("spread at 4032 m")
        << QVector<int>{40313, 40324, 40318, 40313, 40311, 40319} << m << 4032.0 << 5.0 << 0
        << QVector<double>{4031.63333, -0.366667, 0.48853523, -0.9, 0.682312, 0.432131} << false
        << QStringList{"Cg", "Cgk"} << "sd 0.489";
}

void tst_CliRecords::accuracy()
{
    QFETCH(QVector<int>, tenths);
    QFETCH(int, unit);
    QFETCH(double, reference);
    QFETCH(double, tolerance);
    QFETCH(int, allowed);
    QFETCH(QVector<double>, figures);
    QFETCH(bool, coarse);
    QFETCH(QStringList, failed);
    QFETCH(QString, text);

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
    const QString lines = formatVerdict(verdict, settings);
    QVERIFY2(lines.contains(text), qPrintable(lines));
    // One computation: the summary's figures are the verdict's.
    if (LengthUnit(unit) == LengthUnit::Metre && verdict.valid > 0)
        QVERIFY2(formatSummary(statistics)
                     .contains(QStringLiteral("sd %1\n").arg(QString::number(verdict.sd, 'g', 6))),
                 qPrintable(formatSummary(statistics)));
}

void tst_CliRecords::chart_data()
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

void tst_CliRecords::chart()
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

QTEST_MAIN(tst_CliRecords)
#include "tst_cli_records.moc"
