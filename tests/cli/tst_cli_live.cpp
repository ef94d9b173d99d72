#include "cli/clitestsupport.h"
#include "cli/measurementsession.h"
#include "cli/portaccess.h"
#include "cli/recordformat.h"
#include "core/commandframe.h"
#include "core/logtextfile.h"
#include "core/measurementtext.h"
#include "core/replyframe.h"
#include "simulator/devicesimulator.h"
#include "support/devicethread.h"
#include "support/filefaults.h"
#include "support/testsupport.h"
#include "support/verifylinesettings.h"

#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace rangefinder;

// rangefinder-cli at a port: ports listed, or why one cannot be opened; over the simulator, its
// records in each format, timeouts, failures and noise, devices that go away or run side by side,
// signals, lost output, the station's verdicts; and its measuring session in-process.
class tst_Cli : public CliTest
{
    Q_OBJECT

private slots:
    void portCannotBeOpened_data();
    void portCannotBeOpened();
    void accessAdvice_data();
    void accessAdvice();
    void lineSettings_data();
    void lineSettings();
    void formats_data();
    void formats();
    void values_data();
    void values();
    void countAndDuration_data();
    void countAndDuration();
    void progress_data();
    void progress();
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
};

// --- the program ---

void tst_Cli::portCannotBeOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("advice"); // after "cannot open PORT: "
    // How a session in this process is refused: the kind, and the errno kept (-1: none known).
    QTest::addColumn<int>("failure");
    QTest::addColumn<int>("systemError");

    using Kind = PortAccess::Kind;
    QTest::newRow("no such device") << "missing"
                                    << "there is no /dev/rangefinder-test-no-such-port; is the "
                                       "device plugged in? `rangefinder-cli --list-ports` lists "
                                       "the ports"
                                    << int(Kind::Missing) << ENOENT;
    QTest::newRow("not a serial port") << "file" << QString() << int(Kind::OtherFailure) << -1;
    QTest::newRow("held by another program")
        << "held"
        << "PORT is busy, another program has it open; close that program and try again"
        << int(Kind::Busy) << -1;
    // As nobody, outside the file's group; root opens it in this process.
    QTest::newRow("not in the device's group")
        << "group"
        << "PORT belongs to the group dialout, which nobody is not in; run `sudo "
           "usermod -aG dialout nobody`, then log out and in again"
        << -1 << -1;
    QTest::newRow("no permission at all") << "closed" << QString() << int(Kind::NoAccess) << EACCES;
    // The other run's exclusive mark refuses the open itself, but not to root: its lock does.
    QTest::newRow("held by another run, named by a link")
        << "linked"
        << "PORT is busy, another program has it open; close that program and try again"
        << int(Kind::Busy) << (::geteuid() == 0 ? EWOULDBLOCK : EBUSY);
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
    if (kind == QLatin1String("closed") && ::geteuid() == 0)
        QSKIP("root opens any file");
    if (kind == QLatin1String("file") || kind == QLatin1String("group") ||
        kind == QLatin1String("closed")) {
        QVERIFY(file.open());
        port = file.fileName();
        if (kind == QLatin1String("closed"))
            QVERIFY(file.setPermissions(QFileDevice::Permissions()));
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

    QFETCH(int, failure);
    QFETCH(int, systemError);
    if (failure < 0)
        return;
    SessionSettings settings;
    settings.portName = port;
    MeasurementSession session(settings);
    QVERIFY(!session.open());
    QCOMPARE(int(session.openFailure().kind), failure);
    if (systemError >= 0)
        QCOMPARE(session.openFailure().systemError, systemError);
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
        // When each command went out: a busy machine may decode a reply late, never send early.
        const QDateTime sent = QDateTime::fromString(r.time, Qt::ISODateWithMs).addMSecs(-latency);
        QVERIFY2(!previous.isValid() || previous.msecsTo(sent) >= 100 - 2,
                 qPrintable(QString::number(previous.msecsTo(sent))));
        previous = sent;
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

void tst_Cli::progress_data()
{
    QTest::addColumn<bool>("terminal"); // stderr on a pseudo-terminal, else a pipe
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("shown");

    QTest::newRow("terminal") << true << "auto" << true;
    QTest::newRow("terminal, never") << true << "never" << false;
    QTest::newRow("pipe") << false << "auto" << false;
    QTest::newRow("pipe, always") << false << "always" << true;
}

// The progress line: drawn and rewritten with a carriage return, erased before the summary; on a
// terminal only, unless asked.
void tst_Cli::progress()
{
    QFETCH(bool, terminal);
    QFETCH(QString, mode);
    QFETCH(bool, shown);

    const QStringList arguments{"measure",    "--port", sim->portName(), "--count", "5",
                                "--interval", "150",    "--progress",    mode};
    QString err;
    if (terminal) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        QProcess process;
        process.setStandardErrorFile(QString::fromLocal8Bit(::ptsname(master)));
        process.start(QStringLiteral(RANGEFINDER_CLI), arguments);
        QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 20000);
        QCOMPARE(process.exitCode(), 0);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        QByteArray bytes(65536, '\0');
        const ssize_t n = ::read(master, bytes.data(), size_t(bytes.size()));
        ::close(master);
        // The terminal turns each line feed into CR LF.
        err = QString::fromUtf8(bytes.left(int(std::max<ssize_t>(n, 0))))
                  .replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    } else {
        Run run;
        runCli(arguments, run);
        QCOMPARE(run.exitCode, 0);
        err = run.err;
    }
    const int summary = err.indexOf(QStringLiteral("measurements: 5, ok: 5"));
    QVERIFY2(summary >= 0, qPrintable(err));
    QCOMPARE(err.contains(QStringLiteral("\r1/5, ")), shown);
    QCOMPARE(err.contains(QStringLiteral("\r5/5, ")), shown);
    QCOMPARE(err.contains(QStringLiteral("last 17.8 m, 0 failed")), shown);
    if (shown) {
        // Erased: spaces over the whole line, then back to its start, right before the summary.
        const int erasedFrom = err.lastIndexOf(QLatin1Char('\r'), summary - 2);
        const QString erasure = err.mid(erasedFrom, summary - erasedFrom);
        QVERIFY2(erasure.size() > 30 && erasure.mid(1, erasure.size() - 2).trimmed().isEmpty() &&
                     erasure.endsWith(QLatin1Char('\r')),
                 qPrintable(erasure));
    } else {
        QVERIFY2(err.startsWith(QStringLiteral("measurements: 5")), qPrintable(err));
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
    QTest::newRow("one that cannot be opened, jsonl, judged") << "jsonl"
                                                              << "missing" << 3 << true;
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
    const QString report = dir.filePath("station.xml");
    if (judged)
        arguments << QStringList{"--reference", "18.9", "--tolerance", "12", "--junit", report};
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
        // Every 100 ms, as written; a command the machine delivers late brings the next closer.
        for (int i = 1; i < commands.size(); ++i) {
            const qint64 gap = (commands[i].steadyNs - commands[i - 1].steadyNs) / 1000000;
            QVERIFY2(gap >= 50 && gap < 400, qPrintable(QStringLiteral("gap %1 ms").arg(gap)));
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
    const bool missing = third == QLatin1String("missing");
    QCOMPARE(run.err.contains(troublePort + ": FAIL: no valid reading"), judged && !missing);
    // Every device has its testsuite, one that never opened too.
    const QString xml = QString::fromUtf8(readBytes(report));
    QCOMPARE(xml.count("<testsuite "), judged ? 3 : 0);
    QCOMPARE(
        xml.contains(
            QStringLiteral("<testsuite name=\"%1\" tests=\"1\" failures=\"1\"").arg(troublePort)),
        judged && missing);

    // Read back, each port the same records, summary and verdict as live.
    if (format == QLatin1String("text"))
        return;
    QVERIFY(writeBytes(dir.filePath("run"), run.out.toUtf8()));
    Run back;
    runCli(QStringList{"--from", dir.filePath("run"), "--format", format} +
               (judged ? arguments.mid(arguments.indexOf("--reference")) : QStringList()),
           back);
    QCOMPARE(back.out, run.out);
    // A station run is kept in the default store where it is measured, not where it is read.
    auto linesOf = [](const QString &err, const QString &port) {
        QStringList lines = err.split(QLatin1Char('\n'))
                                .filter(QRegularExpression("^" + QRegularExpression::escape(port) +
                                                           ": (?!results: run )"));
        return lines;
    };
    for (const QString &port : {sim->portName(), second.portName(), troublePort}) {
        QVERIFY(!linesOf(run.err, port).isEmpty() || (missing && port == troublePort));
        QCOMPARE(linesOf(back.err, port), linesOf(run.err, port));
    }
    QCOMPARE(back.exitCode, missing ? 0 : exitCode);
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
    // The report then blames the records, not the device.
    QTest::newRow("records, with a report")
        << "--reference 17.8 --tolerance 1 --junit 'REPORT' > /dev/full"
        << "cannot write the records: No space left on device";
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
    const QString limit = redirection.contains(QStringLiteral("RECORDS")) ? "ulimit -f 1; " : "";
    const QString report = dir.filePath(QStringLiteral("report.xml"));
    const bool reported = redirection.contains(QStringLiteral("REPORT"));
    redirection.replace(QStringLiteral("RECORDS"), file).replace(QStringLiteral("INPUT"), input);
    redirection.replace(QStringLiteral("REPORT"), report);
    QProcess process;
    process.start(QStringLiteral("/bin/sh"),
                  QStringList{"-c", "trap '' XFSZ; " + limit + "exec \"$0\" \"$@\" " + redirection,
                              RANGEFINDER_CLI} +
                      (fromFile
                           ? QStringList{"--format", "csv"}
                           : withPort({"--count", "20", "--interval", "20", "--format", "csv"})));
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 20000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 5);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.split(QLatin1Char('\n')).contains("rangefinder-cli: " + message), qPrintable(err));
    const QByteArray xml = readBytes(report);
    QVERIFY2(!reported || (xml.contains("<testsuites tests=\"1\" failures=\"0\" errors=\"1\">") &&
                           xml.contains("<error message=\"the run could not be recorded")),
             xml.constData());

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
            QCOMPARE(m.reply.distanceTenths, quint16(178));
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
    QTest::newRow("two replies in one burst: the first answers")
        << QList<QByteArray>{replyFrame(1, 178) + replyFrame(1, 1000)} << true << S::Ok
        << replyFrame(1, 178) << 0;
    QTest::newRow("noise with a 0x55") << QList<QByteArray>{noise} << false << S::Ok << noise << 0;
    // A 0x55 7 bytes on delimits the noise in front only when it starts a reply itself.
    QTest::newRow("noise 0x55s in front of the reply")
        << QList<QByteArray>{noise.left(7) + noise + replyFrame(1, 178)} << true << S::Ok
        << replyFrame(1, 178) << 0;
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
    QCOMPARE(session.ignoredReplies(), 1);
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
    const int ignored = session.ignoredReplies();
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
    QCOMPARE(m.burst, replyFrame(1, 0xB2));
    QVERIFY2(session.ignoredReplies() > kMaxBurstBytes / kFrameSize,
             qPrintable(QString::number(session.ignoredReplies())));
    QVERIFY2(m.latencyMs < 5000, qPrintable(QString::number(m.latencyMs)));
}

QTEST_MAIN(tst_Cli)
#include "tst_cli_live.moc"
