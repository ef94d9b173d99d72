#include <QFile>
#include <QImage>
#include <QTest>
#include <QtEndian>

// The pictures compiled into the program and the Windows icon, read the way a decoder would:
// from the bytes of their headers, not from what a loader converts them into.
class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void png_data();
    void png();
    void windowsIcon();
};

void tst_Resources::png_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("bitDepth");
    QTest::addColumn<int>("colourType");
    QTest::addColumn<int>("paletteEntries");

    QTest::newRow("logo") << ":/images/logo.png" << 140 << 140 << 8 << 6 << 0;
    QTest::newRow("value") << ":/images/value1.png" << 97 << 26 << 8 << 6 << 0;
    QTest::newRow("title") << ":/images/title.png" << 896 << 896 << 4 << 3 << 6;
    QTest::newRow("range") << ":/images/range.png" << 728 << 730 << 8 << 6 << 0;
}

void tst_Resources::png()
{
    QFETCH(QString, path);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, bitDepth);
    QFETCH(int, colourType);
    QFETCH(int, paletteEntries);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY(data.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(data.mid(12, 4), QByteArray("IHDR"));
    const auto *header = reinterpret_cast<const uchar *>(data.constData()) + 16;
    QCOMPARE(int(qFromBigEndian<quint32>(header)), width);
    QCOMPARE(int(qFromBigEndian<quint32>(header + 4)), height);
    QCOMPARE(int(header[8]), bitDepth);
    QCOMPARE(int(header[9]), colourType);

    const int plte = data.indexOf("PLTE");
    if (paletteEntries == 0) {
        QCOMPARE(plte, -1);
    } else {
        QVERIFY(plte > 4);
        const auto *length = reinterpret_cast<const uchar *>(data.constData()) + plte - 4;
        QCOMPARE(int(qFromBigEndian<quint32>(length)) / 3, paletteEntries);
    }
    // And it decodes as a picture of that size.
    QCOMPARE(QImage(path).size(), QSize(width, height));
}

void tst_Resources::windowsIcon()
{
    QFile file(QStringLiteral(RANGEFINDER_SOURCE_DIR "/resources/app.ico"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    QVERIFY(data.size() >= 22);

    // ICONDIR: reserved 0, type 1 (icon), one image.
    QCOMPARE(qFromLittleEndian<quint16>(bytes), quint16(0));
    QCOMPARE(qFromLittleEndian<quint16>(bytes + 2), quint16(1));
    QCOMPARE(qFromLittleEndian<quint16>(bytes + 4), quint16(1));
    // ICONDIRENTRY: 128 x 128, 32 bits per pixel, 67624 bytes at offset 22.
    const uchar *entry = bytes + 6;
    QCOMPARE(int(entry[0]), 128);
    QCOMPARE(int(entry[1]), 128);
    QCOMPARE(qFromLittleEndian<quint16>(entry + 6), quint16(32));
    const quint32 size = qFromLittleEndian<quint32>(entry + 8);
    const quint32 offset = qFromLittleEndian<quint32>(entry + 12);
    QCOMPARE(size, quint32(67624));
    QCOMPARE(offset, quint32(22));
    QCOMPARE(quint32(data.size()), offset + size);

    // A bitmap, not an embedded PNG: 40-byte header, height doubled for the mask.
    const uchar *dib = bytes + offset;
    QCOMPARE(qFromLittleEndian<quint32>(dib), quint32(40));
    QCOMPARE(qFromLittleEndian<qint32>(dib + 4), 128);
    QCOMPARE(qFromLittleEndian<qint32>(dib + 8), 256);
    QCOMPARE(qFromLittleEndian<quint16>(dib + 14), quint16(32));
    QCOMPARE(qFromLittleEndian<quint32>(dib + 16), quint32(0)); // BI_RGB
    QCOMPARE(40 + 128 * 128 * 4 + 128 * 16, 67624);
}

QTEST_GUILESS_MAIN(tst_Resources)
#include "tst_resources.moc"
