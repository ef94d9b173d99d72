#include "interval.h"
#include "measurementtext.h"

#include <QDateTime>
#include <QTest>

// What an operator reads in the log: numbers, units and whole lines, and which intervals are
// accepted for continuous measurement.
class tst_MeasurementText : public QObject
{
    Q_OBJECT

private slots:
    void value_data();
    void value();
    void lines_data();
    void lines();
    void interval_data();
    void interval();
};

void tst_MeasurementText::value_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("expected");

    const int m = int(LengthUnit::Metre), ft = int(LengthUnit::Foot), yd = int(LengthUnit::Yard);
    QTest::newRow("17.8 m") << 0xB2 << m << "17.8";
    // Rounded through single precision before converting: not 58.399.
    QTest::newRow("17.8 m in ft") << 0xB2 << ft << "58.3989";
    QTest::newRow("17.8 m in yd") << 0xB2 << yd << "19.4663";
    QTest::newRow("60.9 m in yd") << 0x261 << yd << "66.6011";
    QTest::newRow("6553.5 m") << 0xFFFF << m << "6553.5";
    QTest::newRow("6553.5 m in ft") << 0xFFFF << ft << "21501";
    QTest::newRow("6553.5 m in yd") << 0xFFFF << yd << "7166.99";
    QTest::newRow("100 m") << 0x3E8 << m << "100";
    QTest::newRow("100 m in ft") << 0x3E8 << ft << "328.084";
    QTest::newRow("100 m in yd") << 0x3E8 << yd << "109.361";
    QTest::newRow("0.1 m") << 1 << m << "0.1";
    QTest::newRow("0.1 m in ft") << 1 << ft << "0.328084";
    QTest::newRow("30 m") << 300 << m << "30";
    QTest::newRow("zero") << 0 << m << "0";
}

void tst_MeasurementText::value()
{
    QFETCH(int, raw);
    QFETCH(int, unit);
    QFETCH(QString, expected);
    QCOMPARE(valueText(quint16(raw), LengthUnit(unit)), expected);
}

void tst_MeasurementText::lines_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("assembled");

    const int m = int(LengthUnit::Metre), ft = int(LengthUnit::Foot), yd = int(LengthUnit::Yard);
    QTest::newRow("metre") << 1 << 0xB2 << m << "接收时间 : 09:05:03.007 测量值:17.8米"
                           << "测量值:17.8米";
    QTest::newRow("foot") << 1 << 0xB2 << ft << "接收时间 : 09:05:03.007 测量值:58.3989英尺"
                          << "测量值:58.3989英尺";
    QTest::newRow("yard") << 1 << 0x261 << yd << "接收时间 : 09:05:03.007 测量值:66.6011码"
                          << "测量值:66.6011码";
    QTest::newRow("any non-zero status is valid")
        << 0x80 << 0x3E8 << m << "接收时间 : 09:05:03.007 测量值:100米"
        << "测量值:100米";
    QTest::newRow("failed") << 0 << 0x64 << m << "测量值:测量失败"
                            << "测量值:测量失败";
}

void tst_MeasurementText::lines()
{
    QFETCH(int, status);
    QFETCH(int, raw);
    QFETCH(int, unit);
    QFETCH(QString, received);
    QFETCH(QString, assembled);

    const QDateTime time(QDate(2026, 1, 2), QTime(9, 5, 3, 7));
    Reply reply;
    reply.status = quint8(status);
    reply.raw = quint16(raw);
    QCOMPARE(receiveLine(reply, LengthUnit(unit), time), received);
    QCOMPARE(frameLine(reply, LengthUnit(unit)), assembled);
    QCOMPARE(sendLine(time), QStringLiteral("发送时间 : 09:05:03.007"));
    QCOMPARE(sendLine(QDateTime(QDate(2026, 1, 2), QTime(23, 59, 59, 999))),
             QStringLiteral("发送时间 : 23:59:59.999"));
}

void tst_MeasurementText::interval_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected"); // 0: refused

    QTest::newRow("default") << "1000" << 1000;
    QTest::newRow("one") << "1" << 1;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("too large") << "2147483648" << 0;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("negative") << "-5" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("number and letters") << "100ms" << 0;
    QTest::newRow("fraction") << "2.5" << 0;
    QTest::newRow("hexadecimal") << "0x10" << 0;
}

void tst_MeasurementText::interval()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    const std::optional<int> ms = parseInterval(text);
    QCOMPARE(ms.has_value(), expected != 0);
    if (ms)
        QCOMPARE(*ms, expected);
}

QTEST_GUILESS_MAIN(tst_MeasurementText)
#include "tst_measurementtext.moc"
