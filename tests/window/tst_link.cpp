#include "core/commandframe.h"
#include "core/replyframe.h"
#include "simulator/devicesimulator.h"
#include "support/modalcatcher.h"
#include "support/namedchild.h"
#include "support/receivercount.h"
#include "support/testsupport.h"
#include "support/verifylinesettings.h"
#include "window/widget.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

using namespace rangefinder;

// The window against a real pseudo-terminal, with the simulator playing the device.
class tst_Link : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void portScan();
    void lineSettings_data();
    void lineSettings();
    void controlStates();
    void reopenDoesNotDoubleLines();
    void singleCommandBytes();
    void continuousSending();
    void invalidInterval();
    void closeEndsContinuous();
    void units_data();
    void units();
    void statusAndZero_data();
    void statusAndZero();
    void residueJoinsNextBurst();
    void onlyWholeRepliesShown_data();
    void onlyWholeRepliesShown();
    void readDataByName();

private:
    template <typename T> T *child(const char *name) { return namedChild<T>(window, name); }
    void openLink();
    QStringList lines() const
    {
        return nonEmptyLines(namedChild<QTextEdit>(window, "textEdit")->toPlainText());
    }
    QStringList linesMatching(const QString &pattern) const;
    QStringList shown() const;
    void command();

    DeviceSimulator *sim = nullptr;
    Widget *window = nullptr;
};

namespace {
const QString kReceived = QStringLiteral("^接收时间 : \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d 测量值:");
const QString kSent = QStringLiteral("^发送时间 : \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$");
} // namespace

void tst_Link::init()
{
    sim = new DeviceSimulator;
    QVERIFY2(sim->start(), qPrintable(sim->errorString()));
    window = new Widget;
}

void tst_Link::cleanup()
{
    delete window;
    window = nullptr;
    delete sim;
    sim = nullptr;
}

void tst_Link::openLink()
{
    addPortAsScanWould(child<QComboBox>("portCBox"), sim->portName());
    QTest::mouseClick(child<QPushButton>("openBtn"), Qt::LeftButton);
    QVERIFY(child<QSerialPort>("serial")->isOpen());
}

QStringList tst_Link::linesMatching(const QString &pattern) const
{
    return lines().filter(QRegularExpression(pattern));
}

// What the window shows of replies: every line but the send lines.
QStringList tst_Link::shown() const
{
    QStringList shown = lines();
    for (const QString &sent : linesMatching(kSent))
        shown.removeOne(sent);
    return shown;
}

// A command that the device takes in silence, so that the test plays its reply: the window
// shows only replies that answer a command.
void tst_Link::command()
{
    SimulatorSettings silent;
    silent.silenceRate = 1.0;
    sim->setSettings(silent);
    const int commands = sim->commandCount();
    QTest::mouseClick(child<QPushButton>("oneSendBtn"), Qt::LeftButton);
    QTRY_COMPARE(sim->commandCount(), commands + 1);
}

void tst_Link::portScan()
{
    QStringList openable;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        QSerialPort port(info);
        if (port.open(QIODevice::ReadWrite))
            openable << port.portName();
    }
    delete window;
    window = new Widget;

    auto *ports = child<QComboBox>("portCBox");
    QStringList items;
    for (int i = 0; i < ports->count(); ++i)
        items << ports->itemText(i);
    QCOMPARE(items, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}) + openable);
    QCOMPARE(ports->currentIndex(), 0);
    QVERIFY(!items.contains(sim->portName()));
    QVERIFY(!child<QSerialPort>("serial")->isOpen());
}

void tst_Link::lineSettings_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("speed");

    QTest::newRow("9600") << 0 << int(B9600);
    QTest::newRow("115200") << 1 << int(B115200);
    QTest::newRow("230400") << 2 << int(B230400);
}

void tst_Link::lineSettings()
{
    QFETCH(int, index);
    QFETCH(int, speed);

    child<QComboBox>("baudCBox")->setCurrentIndex(index);
    openLink();

    verifyLineSettings(*sim, speed);
}

void tst_Link::controlStates()
{
    const char *controls[] = {"portCBox", "baudCBox", "openBtn", "closeBtn"};
    auto states = [&] {
        QList<bool> enabled;
        for (const char *name : controls)
            enabled << child<QWidget>(name)->isEnabled();
        return enabled;
    };
    QCOMPARE(states(), QList<bool>({true, true, true, true}));

    // Closing before any open changes nothing.
    QTest::mouseClick(child<QPushButton>("closeBtn"), Qt::LeftButton);
    QCOMPARE(states(), QList<bool>({true, true, true, true}));

    openLink();
    QCOMPARE(states(), QList<bool>({false, false, false, true}));
    QTest::mouseClick(child<QPushButton>("closeBtn"), Qt::LeftButton);
    QVERIFY(!child<QSerialPort>("serial")->isOpen());
    QCOMPARE(states(), QList<bool>({true, true, true, false}));
    for (const char *name : {"oneSendBtn", "continueSendBtn", "timeLineEdit"})
        QVERIFY(child<QWidget>(name)->isEnabled());
}

void tst_Link::reopenDoesNotDoubleLines()
{
    openLink();
    QTest::mouseClick(child<QPushButton>("closeBtn"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>("openBtn"), Qt::LeftButton);
    QVERIFY(child<QSerialPort>("serial")->isOpen());
    QCOMPARE(ReceiverCount::of(child<QSerialPort>("serial"), SIGNAL(readyRead())), 1);
    QCOMPARE(ReceiverCount::of(child<QTimer>("rxTimer"), SIGNAL(timeout())), 1);

    QTest::mouseClick(child<QPushButton>("oneSendBtn"), Qt::LeftButton);
    QTRY_COMPARE(linesMatching(kReceived).size(), 1);
    // Long past the silence that ends the burst: still one line.
    QTest::qWait(100);
    QCOMPARE(linesMatching(kReceived), QStringList{lines().last()});
    QCOMPARE(sim->commandCount(), 1);
}

void tst_Link::singleCommandBytes()
{
    openLink();
    SimulatorSettings silent;
    silent.silenceRate = 1.0;
    sim->setSettings(silent);

    QTest::mouseClick(child<QPushButton>("oneSendBtn"), Qt::LeftButton);
    QTRY_COMPARE(sim->received(), commandFrame());
    QCOMPARE(lines().size(), 1);
    QVERIFY(lines().at(0).contains(QRegularExpression(kSent)));
}

void tst_Link::continuousSending()
{
    openLink();
    SimulatorSettings silent;
    silent.silenceRate = 1.0;
    sim->setSettings(silent);
    auto *interval = child<QLineEdit>("timeLineEdit");
    auto *button = child<QPushButton>("continueSendBtn");

    interval->setText(QStringLiteral("400"));
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(button, Qt::LeftButton);
    // The first frame leaves one interval after the press, not at once.
    QTest::qWait(150);
    if (clock.elapsed() < 350)
        QCOMPARE(sim->commandCount(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(sim->commandCount() >= 3, 5000);
    QVERIFY(clock.elapsed() >= 3 * 400 - 50);

    // Stop: nothing more is sent.
    QTest::mouseClick(button, Qt::LeftButton);
    const int stopped = sim->commandCount();
    QTest::qWait(600);
    QCOMPARE(sim->commandCount(), stopped);

    // Third press: running again, with the interval now in the field.
    interval->setText(QStringLiteral("30"));
    QTest::mouseClick(button, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(sim->commandCount() >= stopped + 10, 5000);
    QTest::mouseClick(button, Qt::LeftButton);

    // Every byte on the line is whole frames, one send line each.
    QTest::qWait(50);
    const int sent = sim->commandCount();
    QByteArray expected;
    for (int i = 0; i < sent; ++i)
        expected += commandFrame();
    QTRY_COMPARE(sim->received(), expected);
    QCOMPARE(linesMatching(kSent).size(), sent);
}

// Which texts are refused is the interval parser's table; here, what the window does with one.
void tst_Link::invalidInterval()
{
    openLink();
    auto *sendTimer = child<QTimer>("sendTimer");
    child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("0"));

    ModalCatcher catcher;
    QTest::mouseClick(child<QPushButton>("continueSendBtn"), Qt::LeftButton);
    QCOMPARE(catcher.boxes().size(), 1);
    QCOMPARE(catcher.boxes().at(0).title, QStringLiteral("Error Message"));
    QCOMPARE(catcher.boxes().at(0).text, QStringLiteral("测量间隔无效：请输入正整数（毫秒）"));
    QCOMPARE(catcher.boxes().at(0).parent, window);
    QVERIFY(!sendTimer->isActive());
    QTest::qWait(50);
    QCOMPARE(sim->commandCount(), 0);
    QVERIFY(lines().isEmpty());

    // Still stopped, so the next press with a good interval starts it.
    child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("20"));
    QTest::mouseClick(child<QPushButton>("continueSendBtn"), Qt::LeftButton);
    QVERIFY(sendTimer->isActive());
    QCOMPARE(sendTimer->interval(), 20);
    QTRY_VERIFY(sim->commandCount() >= 2);
    QCOMPARE(catcher.boxes().size(), 1);
}

void tst_Link::closeEndsContinuous()
{
    openLink();
    auto *sendTimer = child<QTimer>("sendTimer");
    child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("20"));
    QTest::mouseClick(child<QPushButton>("continueSendBtn"), Qt::LeftButton);
    QTRY_VERIFY(sim->commandCount() >= 2);

    QTest::mouseClick(child<QPushButton>("closeBtn"), Qt::LeftButton);
    QVERIFY(!sendTimer->isActive());

    // After reopening, one press starts sending again.
    QTest::mouseClick(child<QPushButton>("openBtn"), Qt::LeftButton);
    const int before = sim->commandCount();
    QTest::mouseClick(child<QPushButton>("continueSendBtn"), Qt::LeftButton);
    QVERIFY(sendTimer->isActive());
    QTRY_VERIFY(sim->commandCount() >= before + 2);
}

void tst_Link::units_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("shown");

    // Each unit's button once; every value in every unit is in tst_measurementtext's table.
    QTest::newRow("b2 m") << 0xB2 << "metreRadioButton"
                          << "17.8米";
    QTest::newRow("261 ft") << 0x261 << "ftRadioButton"
                            << "199.803英尺";
    QTest::newRow("ffff yd") << 0xFFFF << "yardsRadioButton"
                             << "7166.99码";
}

void tst_Link::units()
{
    QFETCH(int, raw);
    QFETCH(QString, unit);
    QFETCH(QString, shown);

    openLink();
    window->findChild<QRadioButton *>(unit)->setChecked(true);
    command();
    sim->writeRaw(replyFrame(1, quint16(raw)));
    QTRY_COMPARE(this->shown().size(), 1);
    QVERIFY2(this->shown().at(0).contains(QRegularExpression(kReceived + shown + "$")),
             qPrintable(this->shown().at(0)));
}

void tst_Link::statusAndZero_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("expected"); // empty: nothing logged

    QTest::newRow("failed") << replyFrame(0, 100) << "测量值:测量失败";
    QTest::newRow("failed, zero distance") << replyFrame(0, 0) << "";
    QTest::newRow("zero distance") << replyFrame(1, 0) << "";
}

void tst_Link::statusAndZero()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, expected);

    openLink();
    command();
    sim->writeRaw(reply);
    if (expected.isEmpty()) {
        QTest::qWait(80);
        QCOMPARE(shown(), QStringList());
    } else {
        QTRY_COMPARE(shown(), QStringList{expected});
    }
    // The burst was consumed either way: the next reply decodes on its own.
    QTest::qWait(30);
    command();
    sim->writeRaw(replyFrame(1, 0x3E8));
    QTRY_VERIFY(!linesMatching(kReceived).isEmpty());
    QVERIFY(lines().last().endsWith(QStringLiteral("测量值:100米")));
}

void tst_Link::residueJoinsNextBurst()
{
    openLink();
    command();
    sim->writeRaw(QByteArray::fromHex("55AA88010003"));
    QTest::qWait(80);
    QCOMPARE(shown(), QStringList());

    // Bytes 3, 5 and 6 now count from the first byte of the residue: 01, 03, E8.
    sim->writeRaw(QByteArray::fromHex("E8AA"));
    QTRY_COMPARE(shown().size(), 1);
    QVERIFY2(shown().at(0).contains(QRegularExpression(kReceived + "100米$")),
             qPrintable(shown().at(0)));
    QTest::qWait(60);
    QCOMPARE(shown().size(), 1);
}

void tst_Link::onlyWholeRepliesShown_data()
{
    QTest::addColumn<QByteArray>("before"); // a burst of its own, before the reply
    QTest::addColumn<QString>("between");   // what happens to the link after it
    QTest::addColumn<QByteArray>("reply");

    const QByteArray reply = QByteArray::fromHex("550000010000B2");
    const QByteArray start = reply.left(3);
    QTest::newRow("stray byte in the reply's burst") << QByteArray() << ""
                                                     << "\xB2" + reply;
    QTest::newRow("start of a reply, closed and reopened") << start << "reopen" << reply;
    QTest::newRow("reply queued before the port opened") << reply << "queued" << reply;
}

void tst_Link::onlyWholeRepliesShown()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, between);
    QFETCH(QByteArray, reply);

    // Held open (as a terminal still closing would be) so that the reply stays queued.
    const int earlier = between == QLatin1String("queued")
                            ? ::open(qPrintable(sim->portName()), O_RDWR | O_NOCTTY)
                            : -1;
    if (earlier >= 0) {
        sim->writeRaw(before);
        QTest::qWait(50);
    }
    openLink();
    if (earlier >= 0)
        ::close(earlier);
    else if (!before.isEmpty())
        sim->writeRaw(before);
    QTest::qWait(40);
    if (between == QLatin1String("reopen")) {
        QTest::mouseClick(child<QPushButton>("closeBtn"), Qt::LeftButton);
        QTest::mouseClick(child<QPushButton>("openBtn"), Qt::LeftButton);
    }
    QVERIFY(child<QSerialPort>("serial")->isOpen());
    command();
    sim->writeRaw(reply);
    QTRY_VERIFY(!shown().isEmpty());
    QTest::qWait(60);
    QCOMPARE(shown(), QStringList{shown().value(0)});
    QVERIFY2(shown().at(0).contains(QRegularExpression(kReceived + "17.8米$")),
             qPrintable(shown().at(0)));
}

void tst_Link::readDataByName()
{
    // readData reads the port itself, so the port is opened without the receive path.
    auto *serial = child<QSerialPort>("serial");
    serial->setPortName(sim->portName());
    QVERIFY(serial->open(QIODevice::ReadWrite));

    auto feed = [&](const QByteArray &bytes) {
        sim->writeRaw(bytes);
        QTRY_COMPARE(serial->bytesAvailable(), qint64(bytes.size()));
        QVERIFY(QMetaObject::invokeMethod(window, "readData"));
    };
    const QByteArray reply = QByteArray::fromHex("550000010000B2");
    for (int i = 0; i < reply.size(); ++i) {
        feed(reply.mid(i, 1));
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(lines().size(), i == reply.size() - 1 ? 1 : 0);
    }
    QCOMPARE(lines().at(0), QStringLiteral("测量值:17.8米"));

    // All seven bytes in one read: only the 55 counts, the rest is discarded.
    feed(reply);
    QCOMPARE(lines().size(), 1);
    // ... so six more bytes complete a frame (positions 1 to 6).
    for (char byte : QByteArray::fromHex("000001000064")) {
        feed(QByteArray(1, byte));
        if (QTest::currentTestFailed())
            return;
    }
    QCOMPARE(lines().size(), 2);
    QCOMPARE(lines().at(1), QStringLiteral("测量值:10米"));

    // A read that yields nothing does nothing.
    QVERIFY(QMetaObject::invokeMethod(window, "readData"));
    QCOMPARE(lines().size(), 2);
}

QTEST_MAIN(tst_Link)
#include "tst_link.moc"
