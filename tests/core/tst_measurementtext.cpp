#include "core/interval.h"
#include "core/measurementtext.h"

#include <QDateTime>
#include <QTest>

using namespace rangefinder;

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
    // Rounded through single precision before converting: 17.8 m is 58.3989 ft, not 58.399.
    const struct
    {
        int raw;
        const char *m, *ft, *yd;
    } rows[] = {
        {0xB2, "17.8", "58.3989", "19.4663"},
        {0x261, "60.9", "199.803", "66.6011"},
        {0xFFFF, "6553.5", "21501", "7166.99"},
        {0x3E8, "100", "328.084", "109.361"},
        {0x1, "0.1", "0.328084", "0.109361"},
        {300, "30", "98.4252", "32.8084"},
        {0, "0", "0", "0"},
    };
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("expected");
    for (const auto &row : rows) {
        const QByteArray tag = QByteArray::number(row.raw, 16);
        QTest::newRow(tag + " m") << row.raw << int(LengthUnit::Metre) << QString(row.m);
        QTest::newRow(tag + " ft") << row.raw << int(LengthUnit::Foot) << QString(row.ft);
        QTest::newRow(tag + " yd") << row.raw << int(LengthUnit::Yard) << QString(row.yd);
    }
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
    const int m = int(LengthUnit::Metre), ft = int(LengthUnit::Foot), yd = int(LengthUnit::Yard);
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("assembled");

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
    reply.distanceTenths = quint16(raw);
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
