#include "core/awaitedreplies.h"
#include "core/commandframe.h"
#include "core/measurementtext.h"
#include "core/receivepath.h"
#include "core/replyframe.h"

#include <QTest>

#include <algorithm>

using namespace rangefinder;

// The bytes on the line: the command frame, and how replies are cut out of bursts and
// assembled byte by byte.
class tst_Frames : public QObject
{
    Q_OBJECT

private slots:
    void commandFrameBytes();
    void checksum_data();
    void checksum();
    void burst_data();
    void burst();
    void assembler_data();
    void assembler();
    void bursts_data();
    void bursts();
    void collectLimit();
    void answers_data();
    void answers();
};

void tst_Frames::commandFrameBytes()
{
    QCOMPARE(commandFrame(), QByteArray::fromHex("55AA88FFFFFFFF84"));
    QCOMPARE(commandFrame().size(), kFrameSize);
    QCOMPARE(int(frameChecksum(commandFrame())), 0x84);
}

void tst_Frames::checksum_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("expected");

    QTest::newRow("zeros") << QByteArray::fromHex("55AA000000000000") << 0x00;
    QTest::newRow("17.8 m") << QByteArray::fromHex("55AA88010000B2") << 0x3B;
    QTest::newRow("wraps") << QByteArray::fromHex("55AAFFFFFFFFFF") << 0xFB;
    QTest::newRow("bytes 0, 1 and 7 ignored") << QByteArray::fromHex("FFFF0102030405FF") << 15;
    QTest::newRow("short") << QByteArray::fromHex("55AA0102") << 3;
}

void tst_Frames::checksum()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, expected);
    QCOMPARE(int(frameChecksum(frame)), expected);
}

void tst_Frames::burst_data()
{
    QTest::addColumn<QByteArray>("burst");
    QTest::addColumn<bool>("decoded");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("raw");
    QTest::addColumn<QByteArray>("frame"); // rxFrame afterwards, starting from all 0xEE

    QTest::newRow("reply") << QByteArray::fromHex("55AA88010000B23B") << true << 1 << 178
                           << QByteArray::fromHex("55AA88010000B23B");
    QTest::newRow("seven bytes") << QByteArray::fromHex("55AA8801000064") << true << 1 << 100
                                 << QByteArray::fromHex("55AA8801000064EE");
    QTest::newRow("six bytes kept") << QByteArray::fromHex("55AA88010000") << false << 0 << 0
                                    << QByteArray::fromHex("EEEEEEEEEEEEEEEE");
    QTest::newRow("empty") << QByteArray() << false << 0 << 0
                           << QByteArray::fromHex("EEEEEEEEEEEEEEEE");
    QTest::newRow("failed") << QByteArray::fromHex("55AA880000006468") << true << 0 << 100
                            << QByteArray::fromHex("55AA880000006468");
    QTest::newRow("max distance") << QByteArray::fromHex("55AA880100FFFF86") << true << 1 << 65535
                                  << QByteArray::fromHex("55AA880100FFFF86");
    // Two replies in one burst: the first is decoded, only 8 bytes are kept.
    QTest::newRow("two replies") << QByteArray::fromHex("55AA880100000A9355AA88010000B23B") << true
                                 << 1 << 10 << QByteArray::fromHex("55AA880100000A93");
    // No start byte is looked for: bytes 3, 5 and 6 count from the start of the burst.
    QTest::newRow("misaligned") << QByteArray::fromHex("0055AA88010000B23B") << true << 0x88 << 0
                                << QByteArray::fromHex("0055AA88010000B2");
}

void tst_Frames::burst()
{
    QFETCH(QByteArray, burst);
    QFETCH(bool, decoded);
    QFETCH(int, status);
    QFETCH(int, raw);
    QFETCH(QByteArray, frame);

    ReplyFrame rx;
    std::fill(std::begin(rx), std::end(rx), quint8(0xEE));
    QCOMPARE(frameFromBurst(burst, rx), decoded);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(rx), 8), frame);
    if (decoded) {
        const Reply reply = replyFromFrame(rx);
        QCOMPARE(int(reply.status), status);
        QCOMPARE(int(reply.distanceTenths), raw);
    }
}

void tst_Frames::assembler_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("completeAt"); // indexes of the bytes that finish a frame
    QTest::addColumn<QByteArray>("lastFrame");  // bytes 0 to 6 when the last frame finished
    QTest::addColumn<int>("finalPos");

    QTest::newRow("one reply") << QByteArray::fromHex("550000010000B2") << QList<int>{6}
                               << QByteArray::fromHex("550000010000B2") << 7;
    QTest::newRow("six bytes wait")
        << QByteArray::fromHex("550000010000") << QList<int>{} << QByteArray() << 6;
    QTest::newRow("55 restarts") << QByteArray::fromHex("550000550000010000B2") << QList<int>{9}
                                 << QByteArray::fromHex("550000010000B2") << 7;
    QTest::newRow("55 as distance byte restarts")
        << QByteArray::fromHex("55000001000055") << QList<int>{} << QByteArray() << 1;
    QTest::newRow("no start byte") << QByteArray::fromHex("01020304050607") << QList<int>{6}
                                   << QByteArray::fromHex("01020304050607") << 7;
    QTest::newRow("stray byte costs nothing")
        << QByteArray::fromHex("550000010000B2AA550000010000C8") << QList<int>{6, 14}
        << QByteArray::fromHex("550000010000C8") << 7;
}

void tst_Frames::assembler()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, completeAt);
    QFETCH(QByteArray, lastFrame);
    QFETCH(int, finalPos);

    ReplyFrame frame = {};
    int pos = 0;
    QList<int> complete;
    QByteArray finished;
    for (int i = 0; i < bytes.size(); ++i) {
        if (assembleFrameByte(frame, pos, quint8(bytes.at(i)))) {
            complete << i;
            QCOMPARE(pos, 7);
            finished = QByteArray(reinterpret_cast<const char *>(frame), 7);
            if (i != bytes.size() - 1) {
                pos = 0;
                std::fill(std::begin(frame), std::end(frame), quint8(0));
            }
        }
    }
    QCOMPARE(complete, completeAt);
    QCOMPARE(finished, lastFrame);
    QCOMPARE(pos, finalPos);
}

void tst_Frames::bursts_data()
{
    QTest::addColumn<QList<QByteArray>>("bursts");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("left"); // still buffered at the end

    const QByteArray reply = QByteArray::fromHex("55AA88010000B23B");
    const QString line = QStringLiteral("接收时间 : 09:15:02.047 测量值:17.8米");
    QTest::newRow("one") << QList<QByteArray>{reply} << QStringList{line} << QByteArray();
    QTest::newRow("residue kept") << QList<QByteArray>{reply.left(6)} << QStringList{}
                                  << reply.left(6);
    QTest::newRow("residue joins the next burst")
        << QList<QByteArray>{reply.left(3), reply.mid(3)} << QStringList{line} << QByteArray();
    QTest::newRow("zero distance consumed, not logged")
        << QList<QByteArray>{QByteArray::fromHex("55AA880100000089"), reply} << QStringList{line}
        << QByteArray();
    QTest::newRow("failure") << QList<QByteArray>{QByteArray::fromHex("55AA880000006468")}
                             << QStringList{QStringLiteral("测量值:测量失败")} << QByteArray();
    // Replies of commands sent close together come as one burst: each gets its line.
    const QByteArray max = QByteArray::fromHex("55AA880100FFFF87");
    const QByteArray failed = QByteArray::fromHex("55AA880000006468");
    const QString maxLine = QStringLiteral("接收时间 : 09:15:02.047 测量值:6553.5米");
    const QString failure = QStringLiteral("测量值:测量失败");
    QTest::newRow("two replies, then a residue")
        << QList<QByteArray>{reply + max + QByteArray(3, '\x55')} << QStringList{line, maxLine}
        << QByteArray(3, '\x55');
    QTest::newRow("checksum 0x55, then a reply")
        << QList<QByteArray>{QByteArray::fromHex("55AA88010000CC55") + reply}
        << QStringList{QStringLiteral("接收时间 : 09:15:02.047 测量值:20.4米"), line}
        << QByteArray();
    QTest::newRow("reply, noise, reply")
        << QList<QByteArray>{reply + QByteArray::fromHex("01AA") + max}
        << QStringList{line, maxLine} << QByteArray();
    QTest::newRow("seven bytes, then a reply")
        << QList<QByteArray>{reply.left(7) + max} << QStringList{line, maxLine} << QByteArray();
    QTest::newRow("three replies, the third cut") << QList<QByteArray>{max + reply + failed.left(4)}
                                                  << QStringList{maxLine, line} << failed.left(4);
    QTest::newRow("three replies, the third's rest later")
        << QList<QByteArray>{max + reply + failed.left(4), failed.mid(4)}
        << QStringList{maxLine, line, failure} << QByteArray();
    // Bytes before a start byte go, a whole burst of them too, as in both programs.
    const QByteArray seven = QByteArray::fromHex("550000010000B2");
    QTest::newRow("stray byte, then a reply")
        << QList<QByteArray>{seven.right(1), seven} << QStringList{line} << QByteArray();
    QTest::newRow("ten bytes without 0x55, then a reply")
        << QList<QByteArray>{QByteArray::fromHex("0102030405060708090A"), seven}
        << QStringList{line} << QByteArray();
    // A whole reply behind a stray byte in the same burst is the window's test's.
    QTest::newRow("residue from the start byte on")
        << QList<QByteArray>{QByteArray::fromHex("3B0155AA88")} << QStringList{} << reply.left(3);
    // A device whose 8th byte comes late: at 20.4 m it is 0x55 and waits as a residue, in
    // front of the next reply, whose start it is not.
    const QByteArray late = QByteArray::fromHex("55AA88010000CC");
    const QByteArray check(1, kReplyStartByte);
    const QString m204 = QStringLiteral("接收时间 : 09:15:02.047 测量值:20.4米");
    QTest::newRow("late check byte 0x55")
        << QList<QByteArray>{late, check, late, check} << QStringList{m204, m204} << check;
    QTest::newRow("late check byte 0x55 with the next reply")
        << QList<QByteArray>{late, check + late + check} << QStringList{m204, m204} << QByteArray();
    // Noise behind a reply, or kept from it, is no reply: no made-up distance, none lost.
    QTest::newRow("noise residue, then a reply")
        << QList<QByteArray>{reply + QByteArray::fromHex("551234"), reply}
        << QStringList{line, line} << QByteArray();
    QTest::newRow("noise with start bytes behind a reply")
        << QList<QByteArray>{reply + QByteArray::fromHex("5501020304050607").repeated(500)}
        << QStringList{line} << QByteArray();
    // A 0x55 in noise 7 bytes on from another delimits nothing unless it starts a reply.
    const QByteArray noise7 = QByteArray::fromHex("55010203040506");
    QTest::newRow("noise 0x55 before a 0x55 that starts nothing")
        << QList<QByteArray>{reply + noise7 + noise7 + QByteArray::fromHex("07")}
        << QStringList{line} << QByteArray();
    QTest::newRow("noise 0x55 before a residue")
        << QList<QByteArray>{reply + noise7 + reply.left(3)} << QStringList{line} << reply.left(3);
    // A burst cut by its size goes on in the next: its noise is noise there too, and a reply
    // at the cut waits for the bytes that delimit it.
    const QByteArray pattern = QByteArray::fromHex("5501020304050607");
    QTest::newRow("noise behind a reply, cut by size")
        << QList<QByteArray>{reply + pattern.repeated(512) + pattern.left(3),
                             pattern.mid(3) + pattern.repeated(25)}
        << QStringList{line} << QByteArray();
    QTest::newRow("reply at a cut by size")
        << QList<QByteArray>{reply + pattern.repeated(511) + reply.left(7), reply.right(1) + reply}
        << QStringList{line, line, line} << QByteArray();
    QTest::newRow("reply without check byte at a cut by size, the next behind it")
        << QList<QByteArray>{reply + pattern.repeated(510) + reply.left(7) + reply.left(3),
                             reply.mid(3)}
        << QStringList{line, line, line} << QByteArray();
    // Without a delimited reply the burst is read as ever: a device may send more after byte 6.
    QTest::newRow("seven bytes and a stray byte")
        << QList<QByteArray>{seven + QByteArray::fromHex("07")} << QStringList{line}
        << QByteArray();
}

void tst_Frames::bursts()
{
    QFETCH(QList<QByteArray>, bursts);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, left);

    const QDateTime time(QDate(2026, 3, 4), QTime(9, 15, 2, 47));
    QByteArray buffer;
    ReplyFrame frame = {};
    QStringList logged;
    BurstCarry carry;
    for (const QByteArray &burst : bursts) {
        const BurstEnd end = collectBytes(buffer, burst) ? BurstEnd::Size : BurstEnd::Silence;
        const QByteArray before = buffer;
        const BurstOutcome outcome = endBurst(buffer, frame, end, &carry);
        QCOMPARE(outcome.burst + buffer, before);
        QByteArray replies;
        for (const BurstReply &reply : outcome.replies) {
            replies += reply.bytes;
            if (hasLogLine(reply.reply))
                logged << receiveLine(reply.reply, LengthUnit::Metre, time);
        }
        QCOMPARE(outcome.burst.left(outcome.dropped) + replies, outcome.burst);
    }
    QCOMPARE(logged, lines);
    QCOMPARE(buffer, left);
}

void tst_Frames::collectLimit()
{
    QByteArray buffer;
    QVERIFY(!collectBytes(buffer, QByteArray(4000, 'x')));
    QVERIFY(!collectBytes(buffer, QByteArray(96, 'x')));
    QCOMPARE(buffer.size(), kMaxBurstBytes);
    QVERIFY(collectBytes(buffer, QByteArray(1, 'x')));
    QCOMPARE(buffer.size(), kMaxBurstBytes + 1);
}

void tst_Frames::answers_data()
{
    QTest::addColumn<QVector<qint64>>("sentAt"); // ms, commands not yet answered
    QTest::addColumn<qint64>("now");
    QTest::addColumn<int>("replies");
    QTest::addColumn<int>("answers");
    QTest::addColumn<QVector<qint64>>("left");

    const int t = kReplyTimeoutMs;
    QTest::newRow("joined replies of two commands")
        << QVector<qint64>{0, 5} << qint64(30) << 2 << 2 << QVector<qint64>{};
    QTest::newRow("noise behind the answer")
        << QVector<qint64>{0} << qint64(30) << 26 << 1 << QVector<qint64>{};
    QTest::newRow("earliest first, the later waits on")
        << QVector<qint64>{0, 50} << qint64(60) << 1 << 1 << QVector<qint64>{50};
    // A lost reply leaves no command behind for noise to answer.
    QTest::newRow("a lost reply's command ran out")
        << QVector<qint64>{0, 50} << qint64(t + 10) << 2 << 1 << QVector<qint64>{};
    QTest::newRow("at the timeout, too late")
        << QVector<qint64>{0} << qint64(t) << 1 << 0 << QVector<qint64>{};
    QTest::newRow("no reply forgets only what ran out")
        << QVector<qint64>{0, 900} << qint64(t + 500) << 0 << 0 << QVector<qint64>{900};
}

void tst_Frames::answers()
{
    QFETCH(QVector<qint64>, sentAt);
    QFETCH(qint64, now);
    QFETCH(int, replies);
    QFETCH(int, answers);
    QFETCH(QVector<qint64>, left);

    QCOMPARE(takeAnswers(sentAt, now, replies), answers);
    QCOMPARE(sentAt, left);
}

QTEST_GUILESS_MAIN(tst_Frames)
#include "tst_frames.moc"
