#include "core/commandframe.h"
#include "core/replyframe.h"
#include "simulator/devicesimulator.h"
#include "support/devicethread.h"
#include "support/modalcatcher.h"
#include "support/namedchild.h"
#include "support/testsupport.h"
#include "window/widget.h"

#include <QAtomicInt>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace rangefinder;

// Faults and load against the window over a real pseudo-terminal, the simulator playing the
// device: the device vanishing, a line that never falls silent, replies in pieces, noise,
// ports that cannot be opened and writes that cannot reach the device.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { decoded = std::make_unique<BurstCapture>(); }
    void cleanupTestCase() { decoded.reset(); }
    void init();
    void cleanup();

    void deviceVanishes_data();
    void deviceVanishes();
    void vanishMidReply();
    void vanishWhileSaveDialogOpen();
    void lineNeverFallsSilent_data();
    void lineNeverFallsSilent();
    void repliesInPieces_data();
    void repliesInPieces();
    void repliesInOneBurst_data();
    void repliesInOneBurst();
    void noiseBetweenReplies_data();
    void noiseBetweenReplies();
    void noiseBehindEveryReply();
    void lateCheckByte();
    void portCannotBeOpened_data();
    void portCannotBeOpened();
    void sendWhilePortClosed();
    void writeToVanishedDevice();

private:
    template <typename T> T *child(const char *name) const
    {
        return namedChild<T>(window.get(), name);
    }
    void click(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
    }
    void selectPort(const QString &name) { addPortAsScanWould(child<QComboBox>("portCBox"), name); }
    bool openOn(DeviceSimulator &device);
    void command(DeviceSimulator &device);
    bool writeBurst(DeviceSimulator &device, const QByteArray &bytes);
    QStringList lines() const { return nonEmptyLines(child<QTextEdit>("textEdit")->toPlainText()); }
    QStringList receivedLines() const;
    QStringList shownValues() const;
    QList<bool> portControls() const;
    void verifyClosedState();

    std::unique_ptr<Widget> window;
    // Each burst the window decodes shows exactly which bytes made it up. Made once the test
    // log's own message handler is in place.
    std::unique_ptr<BurstCapture> decoded;
};

namespace {

const QString kBroken = QStringLiteral("串口连接已断开：");
const QString kNotOpen = QStringLiteral("发送失败：串口未打开");
const QString kSent = QStringLiteral("发送时间 : ");
const QString kMeasured = QStringLiteral("测量值:");
// The simulator's noise with this seed holds 0x55s followed by their check byte: replies that
// nothing asked for.
constexpr quint32 kNoisySeed = 1;

// What the window shows for a burst: bytes 3, 5 and 6 from its start, metres selected; an
// empty string where a distance of 0 shows nothing.
QString expectedValue(const QByteArray &burst)
{
    const quint8 status = quint8(burst.at(3));
    const quint16 raw = quint16(quint8(burst.at(5)) << 8 | quint8(burst.at(6)));
    if (raw == 0)
        return QString();
    if (status == 0)
        return QStringLiteral("测量值:测量失败");
    const double metres = double(float(raw / 10.0));
    return kMeasured + QString::number(metres, 'g', 6) + QStringLiteral("米");
}

// The receive path as the window has it. A reply is 7 bytes from a 0x55, with an 8th that is
// their checksum; it is delimited when it ends the buffer or is followed by its checksum or by a
// 0x55 that starts a delimited reply. With a delimited reply in the buffer only delimited ones
// count, the rest is noise; else each 0x55 in turn starts one. Fewer than 7 bytes from a 0x55
// join the next burst. The diagnostic shows what left the buffer.
struct BurstModel
{
    QByteArray residue;
    QList<QByteArray> bursts;
    QStringList values;
    int awaited = 0; // commands sent and not yet answered: replies beyond them are noise

    bool delimited(int start) const
    {
        const int end = start + 7;
        if (end >= residue.size())
            return end == residue.size();
        return quint8(residue.at(end)) == frameChecksum(residue.mid(start, 7)) ||
               (residue.at(end) == '\x55' && delimited(end));
    }

    void add(const QByteArray &bytes)
    {
        residue += bytes;
        bool anyDelimited = false;
        for (int i = residue.indexOf('\x55'); i >= 0 && residue.size() - i >= 7;
             i = residue.indexOf('\x55', i + 1))
            anyDelimited = anyDelimited || delimited(i);
        // The next reply's start, or where the bytes kept for the next burst begin.
        auto startFrom = [&](int from) {
            for (int i = residue.indexOf('\x55', from); i >= 0;
                 i = residue.indexOf('\x55', i + 1)) {
                if (residue.size() - i < 7 || !anyDelimited || delimited(i))
                    return i;
            }
            return residue.size();
        };
        int start = startFrom(0);
        while (residue.size() - start >= 7) {
            const QByteArray reply = residue.mid(start);
            const QString value = expectedValue(reply);
            if (awaited > 0 && !value.isEmpty())
                values << value;
            awaited = std::max(0, awaited - 1);
            const bool checked = reply.size() > 7 && quint8(reply.at(7)) == frameChecksum(reply);
            start = startFrom(start + (checked ? 8 : 7));
        }
        if (start > 0)
            bursts << residue.left(start);
        residue.remove(0, start);
    }
};

QString measuredPart(const QString &line)
{
    return line.mid(line.indexOf(kMeasured));
}

// AddressSanitizer holds freed memory in quarantine, so the resident set says nothing there about
// what the window keeps.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentSetTellsGrowth = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentSetTellsGrowth = false;
#else
constexpr bool kResidentSetTellsGrowth = true;
#endif
#else
constexpr bool kResidentSetTellsGrowth = true;
#endif

} // namespace

void tst_Faults::init()
{
    decoded->clear();
    decoded->keepBytes = true;
    window = std::make_unique<Widget>();
}

void tst_Faults::cleanup()
{
    window.reset();
}

// Starts the device and opens the window's link on its port, as the operator would.
bool tst_Faults::openOn(DeviceSimulator &device)
{
    if (!device.start())
        return false;
    selectPort(device.portName());
    click("openBtn");
    return true;
}

// A command that the device takes in silence, so that the test plays its reply: the window
// shows only replies that answer a command.
void tst_Faults::command(DeviceSimulator &device)
{
    SimulatorSettings silent = device.settings();
    silent.silenceRate = 1.0;
    device.setSettings(silent);
    const int commands = device.commandCount();
    click("oneSendBtn");
    QTRY_COMPARE(device.commandCount(), commands + 1);
}

// Writes bytes as the device would in one go and waits until the window has read them and
// its silence timer has ended the burst.
bool tst_Faults::writeBurst(DeviceSimulator &device, const QByteArray &bytes)
{
    QSignalSpy read(child<QSerialPort>("serial"), &QSerialPort::readyRead);
    device.writeRaw(bytes);
    return QTest::qWaitFor(
        [&] { return !read.isEmpty() && !child<QTimer>("rxTimer")->isActive(); });
}

QStringList tst_Faults::receivedLines() const
{
    return lines().filter(kMeasured);
}

// What each decoded line shows after its time stamp.
QStringList tst_Faults::shownValues() const
{
    QStringList shown;
    for (const QString &line : receivedLines())
        shown << measuredPart(line);
    return shown;
}

QList<bool> tst_Faults::portControls() const
{
    QList<bool> enabled;
    for (const char *name : {"portCBox", "baudCBox", "openBtn", "closeBtn"})
        enabled << child<QWidget>(name)->isEnabled();
    return enabled;
}

void tst_Faults::verifyClosedState()
{
    QVERIFY(!child<QSerialPort>("serial")->isOpen());
    QVERIFY(!child<QTimer>("sendTimer")->isActive());
    QCOMPARE(portControls(), QList<bool>({true, true, true, false}));
}

void tst_Faults::deviceVanishes_data()
{
    QTest::addColumn<int>("replies"); // shown before the device goes; 0: idle
    QTest::newRow("idle") << 0;
    QTest::newRow("during continuous measurement") << 5;
}

void tst_Faults::deviceVanishes()
{
    QFETCH(int, replies);

    // On a thread of its own the device goes as soon as the window has read its last reply,
    // before the silence that ends that reply's burst: all of them must be shown.
    DeviceThread simulator;
    DeviceSimulator &device = *simulator.device;
    SimulatorSettings settings;
    settings.unplugAfterReplies = replies;
    device.setSettings(settings);
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    QVERIFY(child<QSerialPort>("serial")->isOpen());

    ModalCatcher catcher;
    if (replies) {
        // Far enough apart that a late silence timer on a busy machine never joins two replies.
        child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("100"));
        click("continueSendBtn");
        QTRY_VERIFY_WITH_TIMEOUT(device.isUnplugged(), 10000);
    } else {
        device.unplug();
    }
    QTRY_COMPARE(catcher.boxes().size(), 1);
    const ModalCatcher::Box box = catcher.boxes().at(0);
    QCOMPARE(box.title, QStringLiteral("QSerial ERROR"));
    // In words an operator can act on, not the port's "Unknown error" and the like.
    QVERIFY2(box.text.startsWith(kBroken + QStringLiteral("设备已被拔出或不再应答")) &&
                 !box.text.contains(QRegularExpression(QStringLiteral("Unknown|ioctl"))),
             qPrintable(box.text));
    QCOMPARE(box.parent, nullptr);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    verifyClosedState();

    QTRY_COMPARE(receivedLines().size(), replies);
    for (const QString &line : receivedLines())
        QCOMPARE(measuredPart(line), QStringLiteral("测量值:17.8米"));
    // Continuous measurement ended with the link: nothing more is sent or shown, and the process
    // is idle, not spinning on a dead port.
    const int shown = lines().size();
    QTest::qWait(50);
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(600);
    const qint64 cpuMs = qint64((processCpuSeconds() - cpuBefore) * 1000);
    QVERIFY2(cpuMs * 3 < wall.elapsed(),
             qPrintable(QStringLiteral("%1 ms of CPU in %2 ms").arg(cpuMs).arg(wall.elapsed())));
    QCOMPARE(lines().size(), shown);
    QCOMPARE(catcher.boxes().size(), 1);

    // The device comes back (on a new terminal): the window takes it up again.
    device.setSettings(SimulatorSettings());
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    QVERIFY(child<QSerialPort>("serial")->isOpen());
    click("oneSendBtn");
    QTRY_COMPARE(receivedLines().size(), replies + 1);
    QTest::qWait(50);
    QCOMPARE(receivedLines().size(), replies + 1);
}

void tst_Faults::vanishMidReply()
{
    DeviceSimulator device;
    SimulatorSettings settings;
    settings.pieces = 4;
    settings.pieceGapMs = 4;
    device.setSettings(settings);
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    auto *serial = child<QSerialPort>("serial");
    QVERIFY(serial->isOpen());

    // Connected after the window's own receiver, so the window has read the first piece of
    // the reply when the device goes.
    bool rxTimerWasRunning = false;
    const QMetaObject::Connection tap = connect(serial, &QSerialPort::readyRead, this, [&] {
        rxTimerWasRunning = child<QTimer>("rxTimer")->isActive();
        device.unplug();
    });
    ModalCatcher catcher;
    click("oneSendBtn");
    QTRY_COMPARE(catcher.boxes().size(), 1);
    disconnect(tap);
    QVERIFY2(catcher.boxes().at(0).text.startsWith(kBroken),
             qPrintable(catcher.boxes().at(0).text));
    QVERIFY(rxTimerWasRunning);
    verifyClosedState();
    QCOMPARE(device.replyCount(), 0);
    // The burst under way is still ended by silence after the port has closed.
    QTRY_VERIFY(!child<QTimer>("rxTimer")->isActive());
    const QList<QByteArray> beforeReturn = decoded->bursts;

    // The device returns and sends a whole reply.
    device.setSettings(SimulatorSettings());
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    QVERIFY(serial->isOpen());
    const QByteArray interrupted = replyFrame(1, 178);
    const QByteArray next = replyFrame(1, 0x3E8);
    command(device);
    device.writeRaw(next);
    QTRY_VERIFY(!decoded->bursts.isEmpty() && decoded->bursts.last().endsWith(next));

    // What the window had read of the interrupted reply went with the link, unless it was a
    // whole reply (7 bytes or more), which was shown before the link closed.
    QStringList expected;
    if (decoded->bursts.size() == 2) {
        QCOMPARE(beforeReturn, decoded->bursts.mid(0, 1));
        QVERIFY(beforeReturn.at(0).size() >= 7 && interrupted.startsWith(beforeReturn.at(0)));
        expected << expectedValue(interrupted);
    } else {
        QCOMPARE(decoded->bursts, QList<QByteArray>{next});
    }
    expected << expectedValue(next);
    QTRY_COMPARE(receivedLines().size(), expected.size());
    QCOMPARE(shownValues(), expected);
    QCOMPARE(catcher.boxes().size(), 1);
}

void tst_Faults::vanishWhileSaveDialogOpen()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("log.txt"));

    DeviceSimulator device;
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("20"));
    click("continueSendBtn");
    QTRY_VERIFY(receivedLines().size() >= 2);

    ModalCatcher catcher;
    catcher.setFileAnswer(path);
    int shownAtOpen = -1;
    int receivedAtOpen = -1;
    int receivedAtUnplug = -1;
    catcher.setWhileFileDialogOpen([&] {
        shownAtOpen = lines().size();
        receivedAtOpen = receivedLines().size();
        // Measurement goes on while the dialog is open.
        QVERIFY(
            QTest::qWaitFor([&] { return receivedLines().size() >= receivedAtOpen + 3; }, 5000));
        receivedAtUnplug = receivedLines().size();
        device.unplug();
        QVERIFY(QTest::qWaitFor([&] { return !catcher.boxes().isEmpty(); }, 5000));
    });
    click("saveFileBtn");
    const QString shown = child<QTextEdit>("textEdit")->toPlainText();

    QCOMPARE(catcher.fileDialogs().size(), 1);
    QCOMPARE(catcher.boxes().size(), 1);
    QCOMPARE(catcher.boxes().at(0).title, QStringLiteral("QSerial ERROR"));
    QVERIFY2(catcher.boxes().at(0).text.startsWith(kBroken),
             qPrintable(catcher.boxes().at(0).text));
    QVERIFY2(receivedAtUnplug >= receivedAtOpen + 3, qPrintable(QString::number(receivedAtUnplug)));
    verifyClosedState();

    // The file holds the pane as it was when the dialog closed, lines that came in while it was
    // open included.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString saved = QString::fromUtf8(file.readAll());
    QCOMPARE(saved, shown);
    QVERIFY(saved.split(QLatin1Char('\n')).size() >= shownAtOpen + 3);

    // Nothing arrives after the link has gone.
    QTest::qWait(100);
    QCOMPARE(child<QTextEdit>("textEdit")->toPlainText(), shown);
}

void tst_Faults::lineNeverFallsSilent_data()
{
    QTest::addColumn<int>("readBufferSize"); // 0: as the window has it
    QTest::addColumn<int>("streamedAtLeast");

    QTest::newRow("the window's reads") << 0 << 8 * 1024 * 1024;
    // One read brings at most 1 KiB, so a burst ended by its size holds at most the limit plus
    // that, however busy the machine is.
    QTest::newRow("reads of 1 KiB") << 1024 << 2 * 1024 * 1024;
}

void tst_Faults::lineNeverFallsSilent()
{
    QFETCH(int, readBufferSize);
    QFETCH(int, streamedAtLeast);

    // Declared before the device's thread, so they outlive the device that uses them.
    // A reply in every 4 KiB, answering no command, and no device answers faster.
    const QByteArray chunk = (replyFrame(1, 178) + QByteArray(4088, '\0')).repeated(4);
    QAtomicInt streaming(1);
    QAtomicInt chunks(0);
    DeviceThread simulator;
    DeviceSimulator *device = simulator.device;
    child<QSerialPort>("serial")->setReadBufferSize(readBufferSize);
    QVERIFY2(openOn(*device), qPrintable(device->errorString()));
    QVERIFY(child<QSerialPort>("serial")->isOpen());

    // Each write is followed by the next as soon as it has gone out, so the device writes only
    // as fast as the window reads and its own queue stays short: whatever memory grows here is
    // the window's.
    connect(device, &DeviceSimulator::eventRecorded, device,
            [device, chunk, &streaming, &chunks](const SimulatorEvent &event) {
                if (event.kind != SimulatorEvent::Raw)
                    return;
                chunks.ref();
                device->clearEvents();
                if (streaming.loadAcquire())
                    device->writeRaw(chunk);
            });

    decoded->keepBytes = false;
    // Warm up first, so that allocations made once (fonts, the pane's first layout) are not
    // counted as growth.
    device->writeRaw(chunk);
    device->writeRaw(chunk);
    QTRY_VERIFY(chunks.loadAcquire() >= 16);
    const qint64 residentBefore = residentBytes();
    const int chunksBefore = chunks.loadAcquire();
    const int burstsBefore = decoded->sizes.size();

    // The window must stay responsive: a timer of this thread keeps firing.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 longestTickGap = 0;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&] {
        const qint64 now = clock.elapsed();
        longestTickGap = std::max(longestTickGap, now - lastTick);
        lastTick = now;
        ++ticks;
    });
    ticker.start(20);
    QTest::qWait(3000);
    ticker.stop();
    const qint64 streamed = qint64(chunks.loadAcquire() - chunksBefore) * chunk.size();
    const qint64 growth = residentBytes() - residentBefore;
    streaming.storeRelease(0);

    int largestBurst = 0;
    for (int i = burstsBefore; i < decoded->sizes.size(); ++i)
        largestBurst = std::max(largestBurst, decoded->sizes.at(i));
    const int bursts = decoded->sizes.size() - burstsBefore;
    qInfo("%lld bytes streamed in 3 s, %d bursts decoded, the largest %d bytes, resident memory "
          "grew by %lld bytes, longest gap between timer ticks %lld ms",
          streamed, bursts, largestBurst, growth, longestTickGap);

    // Kept whole, the stream would need at least its own size in memory.
    QVERIFY2(streamed >= streamedAtLeast, qPrintable(QString::number(streamed)));
    if (kResidentSetTellsGrowth)
        QVERIFY2(growth < streamed / 2, qPrintable(QString::number(growth)));
    // Bursts are ended by size while the line is busy: no burst holds more than one read of
    // the port beyond the limit. Waiting for silence instead would end a burst only where the
    // stream happened to stall.
    QVERIFY2(bursts >= 100, qPrintable(QString::number(bursts)));
    const int readAtMost = readBufferSize ? readBufferSize : 64 * 1024;
    QVERIFY2(largestBurst <= kMaxBurstBytes + readAtMost,
             qPrintable(QString::number(largestBurst)));
    QVERIFY2(
        ticks >= 20 && longestTickGap < 1500,
        qPrintable(QStringLiteral("%1 ticks, longest gap %2 ms").arg(ticks).arg(longestTickGap)));

    // When the line falls silent the window is idle again and still decodes a lone reply.
    QTRY_VERIFY(!child<QTimer>("rxTimer")->isActive());
    QTest::qWait(50);
    const int shown = receivedLines().size();
    command(*device);
    device->writeRaw(replyFrame(1, 0x3E8));
    QTRY_COMPARE(receivedLines().size(), shown + 1);
}

void tst_Faults::repliesInPieces_data()
{
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("gapMs");

    QTest::newRow("whole") << 1 << 0;
    QTest::newRow("8 pieces 1 ms apart") << 8 << 1;
    QTest::newRow("8 pieces back to back") << 8 << 0;
    QTest::newRow("4 pieces 3 ms apart") << 4 << 3;
    QTest::newRow("2 pieces 3 ms apart") << 2 << 3;
}

void tst_Faults::repliesInPieces()
{
    QFETCH(int, pieces);
    QFETCH(int, gapMs);

    DeviceThread simulator;
    DeviceSimulator *device = simulator.device;
    SimulatorSettings settings;
    settings.pattern = SimulatorSettings::Pattern::RandomWalk;
    settings.failureRate = 0.2;
    settings.pieces = pieces;
    settings.pieceGapMs = gapMs;
    device->setSettings(settings);
    QVERIFY2(openOn(*device), qPrintable(device->errorString()));

    child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("50"));
    click("continueSendBtn");
    QTRY_VERIFY_WITH_TIMEOUT(device->replyCount() >= 12, 10000);
    click("continueSendBtn");
    const QVector<SimulatorEvent> replies = [&] {
        QTest::qWait(100); // a reply to the last command may still be on its way
        return eventsOf(*device, SimulatorEvent::Reply);
    }();

    QStringList expected;
    QList<QByteArray> expectedBursts;
    for (const SimulatorEvent &reply : replies) {
        expectedBursts << reply.bytes;
        expected << expectedValue(reply.bytes);
    }
    // Every byte once, in order, each burst of whole replies: a busy machine may join the
    // replies of two commands, or leave a check byte for the next burst, never show less.
    QTRY_COMPARE(QByteArrayList(decoded->bursts).join(), QByteArrayList(expectedBursts).join());
    QSet<int> replyEnds;
    int end = 0;
    for (const QByteArray &reply : expectedBursts) {
        end += reply.size();
        replyEnds << end - 1 << end;
    }
    end = 0;
    for (const QByteArray &burst : decoded->bursts)
        QVERIFY2(replyEnds.contains(end += burst.size()), burst.toHex().constData());
    QCOMPARE(shownValues(), expected);
}

void tst_Faults::repliesInOneBurst_data()
{
    QTest::addColumn<QList<QByteArray>>("bursts");
    QTest::addColumn<QStringList>("values");

    const QByteArray reply = replyFrame(1, 178);
    const QByteArray hundred = replyFrame(1, 1000);
    const QByteArray failed = replyFrame(0, 100);
    const QString m17 = QStringLiteral("测量值:17.8米"), m100 = QStringLiteral("测量值:100米");
    QTest::newRow("two replies") << QList<QByteArray>{reply + hundred} << QStringList{m17, m100};
    QTest::newRow("checksum 0x55, then a reply")
        << QList<QByteArray>{QByteArray::fromHex("55AA88010000CC55") + reply}
        << QStringList{QStringLiteral("测量值:20.4米"), m17};
    QTest::newRow("reply, noise, reply")
        << QList<QByteArray>{reply + QByteArray::fromHex("01AA") + hundred}
        << QStringList{m17, m100};
    QTest::newRow("three replies, the third cut")
        << QList<QByteArray>{reply + hundred + failed.left(4), failed.mid(4)}
        << QStringList{m17, m100, QStringLiteral("测量值:测量失败")};
}

// Replies to commands sent close together reach the window as one burst.
void tst_Faults::repliesInOneBurst()
{
    QFETCH(QList<QByteArray>, bursts);
    QFETCH(QStringList, values);

    DeviceSimulator device;
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    for (int i = 0; i < values.size(); ++i)
        command(device);
    for (int i = 0; i < bursts.size(); ++i) {
        device.writeRaw(bursts.at(i));
        QTRY_COMPARE(decoded->bursts.size(), i + 1);
    }
    // The diagnostics show every byte, once; the third reply's start waited for its rest.
    QByteArray shown, sent;
    for (int i = 0; i < bursts.size(); ++i) {
        shown += decoded->bursts.at(i);
        sent += bursts.at(i);
    }
    QCOMPARE(shown, sent);
    QCOMPARE(shownValues(), values);
}

void tst_Faults::noiseBetweenReplies_data()
{
    QTest::addColumn<QByteArray>("noise");
    QTest::addColumn<bool>("joined"); // in its reply's burst, as --noise between sends it

    // 20 bytes whose 0x55 has 13 behind it, and neither its checksum nor a 0x55 7 bytes on.
    const QByteArray inside = QByteArray::fromHex("0A1B2C3D4E5F55606162636465666768696A6B6C");
    // Long after the reply: a burst of its own. Seven bytes from a 0x55 that end their burst
    // cannot be told from a reply of a device without check bytes, but answer no command.
    QTest::newRow("3 bytes") << QByteArray::fromHex("A1B2C3") << false;
    QTest::newRow("3 bytes, 55 first") << QByteArray::fromHex("551234") << false;
    QTest::newRow("7 bytes from a 55") << QByteArray::fromHex("55010203040506") << false;
    QTest::newRow("20 bytes") << inside << false;
    // Right behind the reply.
    QTest::newRow("3 bytes right behind, 55 first") << QByteArray::fromHex("551234") << true;
    QTest::newRow("3 bytes right behind, 55 last") << QByteArray::fromHex("123455") << true;
    QTest::newRow("20 bytes right behind") << inside << true;
}

// The test plays the device, each burst written once the window has ended the one before, so
// that which bytes share a burst is up to the test alone, however busy the machine.
void tst_Faults::noiseBetweenReplies()
{
    QFETCH(QByteArray, noise);
    QFETCH(bool, joined);

    DeviceSimulator device;
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    QList<QByteArray> sent;
    QStringList replies;
    for (int i = 1; i <= 6; ++i) {
        const QByteArray reply = replyFrame(i % 3 ? 1 : 0, quint16(137 * i));
        replies << expectedValue(reply);
        if (joined)
            sent << reply + noise;
        else
            sent << reply << noise;
    }
    BurstModel model;
    for (int i = 0; i < sent.size(); ++i) {
        if (joined || i % 2 == 0) {
            command(device);
            ++model.awaited;
        }
        model.add(sent.at(i));
        QVERIFY(writeBurst(device, sent.at(i)));
    }
    QCOMPARE(decoded->bursts, model.bursts);
    QCOMPARE(shownValues(), model.values);
    // Only the replies are shown, whatever the noise holds.
    QCOMPARE(shownValues(), replies);

    // The last noise, when short from its 0x55 on, is still waiting for the next burst to join.
    if (!model.residue.isEmpty()) {
        const QByteArray reply = replyFrame(1, 0x3E8);
        QVERIFY(writeBurst(device, reply));
        QCOMPARE(decoded->bursts.size(), model.bursts.size() + 1);
        QCOMPARE(decoded->bursts.last(), model.residue + reply);
    }
}

// A burst of noise as long as a burst may be behind every reply: each line shown is a distance
// the device sent, one for each reply.
void tst_Faults::noiseBehindEveryReply()
{
    DeviceSimulator device;
    SimulatorSettings settings;
    settings.pattern = SimulatorSettings::Pattern::RandomWalk;
    settings.noise = SimulatorSettings::Noise::BetweenReplies;
    settings.noiseBytes = kMaxBurstBytes;
    settings.seed = kNoisySeed;
    device.setSettings(settings);
    QVERIFY2(openOn(device), qPrintable(device.errorString()));

    // Each command once the window has read all of the last one's bytes: which replies share
    // a burst is not up to the machine's load.
    int written = 0;
    const auto readAll = [&] {
        int read = 0;
        for (const QByteArray &burst : decoded->bursts)
            read += burst.size();
        return written - read < kMinReplyBytes && !child<QTimer>("rxTimer")->isActive();
    };
    QStringList expected;
    for (int i = 1; i <= 12; ++i) {
        click("oneSendBtn");
        QTRY_COMPARE(eventsOf(device, SimulatorEvent::Noise).size(), i);
        const SimulatorEvent reply = eventsOf(device, SimulatorEvent::Reply).value(i - 1);
        written +=
            reply.bytes.size() + eventsOf(device, SimulatorEvent::Noise).at(i - 1).bytes.size();
        expected << expectedValue(reply.bytes);
        QTRY_VERIFY(readAll());
    }
    QCOMPARE(shownValues(), expected);
}

// A device whose check byte comes after the 7 others, as some USB adapters deliver it, at
// 20.4 m, where the check byte is 0x55: the test plays the device, each check byte coming
// once the window has ended its reply's burst.
void tst_Faults::lateCheckByte()
{
    const QByteArray seven = replyFrame(1, 204).left(7);
    const QByteArray check = replyFrame(1, 204).mid(7);
    QCOMPARE(check, QByteArray(1, kReplyStartByte));
    DeviceSimulator device;
    QVERIFY2(openOn(device), qPrintable(device.errorString()));

    constexpr int kReplies = 5;
    QList<QByteArray> bursts;
    QStringList expected;
    for (int i = 0; i < kReplies; ++i) {
        command(device);
        QVERIFY(writeBurst(device, seven));
        QVERIFY(writeBurst(device, check));
        bursts << (i == 0 ? seven : check + seven);
        expected << QStringLiteral("测量值:20.4米");
    }
    QCOMPARE(decoded->bursts, bursts);
    QCOMPARE(shownValues(), expected);
}

void tst_Faults::portCannotBeOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("openedBefore");

    for (bool before : {false, true}) {
        const char *suffix = before ? ", after a good open and close" : "";
        QTest::newRow(qPrintable(QStringLiteral("no such device%1").arg(suffix)))
            << "missing" << before;
        QTest::newRow(qPrintable(QStringLiteral("not a terminal%1").arg(suffix)))
            << "not a terminal" << before;
        QTest::newRow(qPrintable(QStringLiteral("in use%1").arg(suffix))) << "in use" << before;
    }
}

void tst_Faults::portCannotBeOpened()
{
    QFETCH(QString, kind);
    QFETCH(bool, openedBefore);

    DeviceSimulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    DeviceSimulator other;
    QVERIFY2(other.start(), qPrintable(other.errorString()));
    auto *serial = child<QSerialPort>("serial");

    if (openedBefore) {
        selectPort(device.portName());
        click("openBtn");
        QVERIFY(serial->isOpen());
        click("closeBtn");
        QVERIFY(!serial->isOpen());
    }
    const QList<bool> before = portControls();

    QSerialPort holder;
    QString name;
    if (kind == QLatin1String("missing")) {
        name = QStringLiteral("/nonexistent/ttyRF0");
    } else if (kind == QLatin1String("not a terminal")) {
        name = QStringLiteral("/dev/null");
    } else {
        name = other.portName();
        holder.setPortName(name);
        QVERIFY(holder.open(QIODevice::ReadWrite));
    }
    selectPort(name);
    ModalCatcher catcher;
    click("openBtn");
    QCOMPARE(catcher.boxes().size(), 1);
    QCOMPARE(catcher.boxes().at(0).title, QStringLiteral("QSerial ERROR"));
    QCOMPARE(catcher.boxes().at(0).text, QStringLiteral("打开串口失败"));
    QCOMPARE(catcher.boxes().at(0).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(catcher.boxes().at(0).parent, nullptr);
    QVERIFY(!serial->isOpen());
    QCOMPARE(portControls(), before);
    QTest::qWait(50);
    QCOMPARE(catcher.boxes().size(), 1);
    QVERIFY(lines().isEmpty());

    // The failure leaves nothing behind: the next port opens and measures, once per reply.
    selectPort(device.portName());
    click("openBtn");
    QVERIFY(serial->isOpen());
    click("oneSendBtn");
    QTRY_COMPARE(receivedLines().size(), 1);
    QTest::qWait(50);
    QCOMPARE(receivedLines(), QStringList{lines().last()});
    QCOMPARE(device.commandCount(), 1);
    QCOMPARE(other.commandCount(), 0);
    QCOMPARE(catcher.boxes().size(), 1);
}

void tst_Faults::sendWhilePortClosed()
{
    DeviceSimulator device;
    QVERIFY2(device.start(), qPrintable(device.errorString()));
    selectPort(device.portName());

    click("oneSendBtn");
    QCOMPARE(lines().size(), 2);
    QVERIFY2(lines().at(0).contains(QRegularExpression(
                 QStringLiteral("^%1\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").arg(kSent))),
             qPrintable(lines().at(0)));
    QCOMPARE(lines().at(1), kNotOpen);

    // Started with the port closed, continuous measurement logs each failed send; once the
    // port is open the same timer's commands reach the device.
    child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("30"));
    click("continueSendBtn");
    QTRY_VERIFY(lines().count(kNotOpen) >= 4);
    QCOMPARE(lines().count(kNotOpen), lines().filter(kSent).size());
    QCOMPARE(device.received(), QByteArray());
    click("openBtn");
    QVERIFY(child<QSerialPort>("serial")->isOpen());
    QTRY_VERIFY(device.replyCount() >= 3);
    click("continueSendBtn");
    QTest::qWait(100);

    // Every send line is followed by its failure, or its command reached the device; every
    // command was answered and every answer shown.
    const QStringList all = lines();
    const int sends = all.filter(kSent).size();
    const int failures = all.count(kNotOpen);
    for (int i = 0; i < all.size(); ++i) {
        if (all.at(i) == kNotOpen)
            QVERIFY2(i > 0 && all.at(i - 1).startsWith(kSent), qPrintable(all.join('\n')));
    }
    QCOMPARE(sends, failures + device.commandCount());
    QTRY_COMPARE(device.replyCount(), device.commandCount());
    QTRY_COMPARE(receivedLines().size(), device.replyCount());
    // The failures all came before the open.
    const int lastFailure = all.lastIndexOf(kNotOpen);
    QVERIFY(all.mid(lastFailure).filter(kMeasured).size() == receivedLines().size());
}

void tst_Faults::writeToVanishedDevice()
{
    DeviceSimulator device;
    QVERIFY2(openOn(device), qPrintable(device.errorString()));
    auto *serial = child<QSerialPort>("serial");
    QVERIFY(serial->isOpen());

    // The device goes, and before the window has heard of it a command is sent: the port still
    // takes the bytes, the write to the terminal then fails.
    ModalCatcher catcher;
    device.unplug();
    click("oneSendBtn");
    QCOMPARE(lines().size(), 1);
    QVERIFY(lines().at(0).startsWith(kSent));
    QTRY_COMPARE(catcher.boxes().size(), 1);
    QVERIFY2(catcher.boxes().at(0).text.startsWith(kBroken),
             qPrintable(catcher.boxes().at(0).text));
    verifyClosedState();
    QCOMPARE(device.commandCount(), 0);
    // The command never went out, and the log says so once.
    QCOMPARE(lines().size(), 2);
    QVERIFY2(lines().at(1).startsWith(QStringLiteral("发送失败：")) && lines().at(1) != kNotOpen,
             qPrintable(lines().at(1)));

    // From then on a send says the port is not open.
    click("oneSendBtn");
    QCOMPARE(lines().size(), 4);
    QCOMPARE(lines().at(3), kNotOpen);
    QTest::qWait(50);
    QCOMPARE(catcher.boxes().size(), 1);
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
