#include "core/commandframe.h"
#include "simulator/devicesimulator.h"
#include "simulator/portlink.h"
#include "support/filefaults.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

using namespace rangefinder;

namespace {

QString linkTarget(const QString &path)
{
    return QFileInfo(path).symLinkTarget();
}

bool isSymLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

// Makes at path what a row names: "dangling", a link to nowhere; "file", a regular file holding
// "keep me"; "directory"; "link", a link to the regular file linked, made where missing;
// "terminal", a link to a terminal. Anything else leaves path alone.
bool makeExisting(const QString &what, const QString &path, const QString &linked)
{
    if (what == QLatin1String("dangling"))
        return QFile::link(path + QStringLiteral(".gone"), path);
    if (what == QLatin1String("file"))
        return writeBytes(path, "keep me");
    if (what == QLatin1String("directory"))
        return QDir().mkdir(path);
    if (what == QLatin1String("link")) {
        QFile file(linked);
        return (file.exists() || file.open(QIODevice::WriteOnly)) && QFile::link(linked, path);
    }
    if (what == QLatin1String("terminal"))
        return QFile::link(QStringLiteral("/dev/tty"), path);
    return true;
}

// Resident memory of a process in kB, 0 if unknown.
qint64 residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong();
    }
    return 0;
}

// Writes command frames to port as fast as it takes them, up to bytes or 60 s; returns how many
// bytes went.
qint64 floodWithCommands(const QString &port, qint64 bytes)
{
    const int fd = ::open(qPrintable(port), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    const QByteArray commands = commandFrame().repeated(512);
    qint64 written = 0;
    QElapsedTimer timer;
    timer.start();
    while (fd >= 0 && written < bytes && timer.elapsed() < 60000) {
        const ssize_t n = ::write(fd, commands.constData(), size_t(commands.size()));
        pollfd writable{fd, POLLOUT, 0};
        if (n > 0)
            written += n;
        else
            ::poll(&writable, 1, 100);
    }
    ::close(fd);
    return written;
}

} // namespace

// rangefinder-sim as a process: its options, the port it prints, its link, its exit.
class tst_SimulatorProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void help_data();
    void help();
    void badValues_data();
    void badValues();
    void answersAndLogs();
    void link_data();
    void link();
    void endsCleanly_data();
    void endsCleanly();
    void portLinkRules_data();
    void portLinkRules();

private:
    // Starts the program and waits for the port line; empty on failure.
    QString startSimulator(QProcess &process, const QStringList &arguments);
    QByteArray exchange(QSerialPort &port);

    QTemporaryDir dir;
};

void tst_SimulatorProgram::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QFile::exists(QStringLiteral(RANGEFINDER_SIM)));
}

QString tst_SimulatorProgram::startSimulator(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(RANGEFINDER_SIM));
    process.setArguments(arguments);
    process.start();
    if (!process.waitForStarted(10000))
        return QString();
    QElapsedTimer timer;
    timer.start();
    while (!process.canReadLine() && process.state() == QProcess::Running &&
           timer.elapsed() < 10000)
        QSignalSpy(&process, &QProcess::readyReadStandardOutput).wait(100);
    if (!process.canReadLine())
        return QString();
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

QByteArray tst_SimulatorProgram::exchange(QSerialPort &port)
{
    port.write(commandFrame());
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (got.size() < kFrameSize && timer.elapsed() < 5000) {
        if (!port.bytesAvailable())
            QSignalSpy(&port, &QIODevice::readyRead).wait(100);
        got += port.readAll();
    }
    return got;
}

void tst_SimulatorProgram::help_data()
{
    QTest::addColumn<QString>("option");
    for (const char *option :
         {"--pattern",     "--distance",     "--min",          "--max",          "--offset",
          "--spread",      "--period",       "--failure-rate", "--silence-rate", "--delay",
          "--pieces",      "--gap",          "--noise",        "--noise-bytes",  "--noise-interval",
          "--noise-delay", "--unplug-after", "--replug-after", "--seed",         "--log",
          "--link",        "--verbose",      "--gain",         "--readings",     "--help"})
        QTest::newRow(option) << QString::fromLatin1(option);
}

void tst_SimulatorProgram::help()
{
    QFETCH(QString, option);
    QProcess process;
    process.start(QStringLiteral(RANGEFINDER_SIM), {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QString text = QString::fromLocal8Bit(process.readAllStandardOutput());
    // Each option on a line of its own at the start of its description.
    const QRegularExpression line(
        QStringLiteral("\\n\\s+(-\\w, )?%1[ =<]").arg(QRegularExpression::escape(option)));
    QVERIFY2(text.contains(line), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("milliseconds")));
    QVERIFY(text.contains(QStringLiteral("metres")));
    QVERIFY(text.contains(QStringLiteral("Default: 17.8.")));
}

void tst_SimulatorProgram::badValues_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("mentioned");
    auto row = [](const char *name, const QStringList &arguments, const char *mentioned) {
        QTest::newRow(name) << arguments << QString::fromLatin1(mentioned);
    };
    row("negative distance", {"--distance", "-1"}, "--distance");
    row("distance not a number", {"--distance", "far"}, "--distance");
    row("distance beyond 16 bits", {"--distance", "6553.6"}, "--distance");
    row("unknown pattern", {"--pattern", "zigzag"}, "--pattern");
    row("offset not a number", {"--offset", "+a bit"}, "--offset");
    row("negative spread", {"--spread", "-0.1"}, "--spread");
    row("period 0", {"--period", "0"}, "--period");
    row("failure rate above 1", {"--failure-rate", "1.5"}, "--failure-rate");
    row("silence rate below 0", {"--silence-rate", "-0.1"}, "--silence-rate");
    row("negative delay", {"--delay", "-1"}, "--delay");
    row("fractional delay", {"--delay", "1.5"}, "--delay");
    row("no pieces", {"--pieces", "0"}, "--pieces");
    row("more pieces than bytes", {"--pieces", "9"}, "--pieces");
    row("gap not a number", {"--gap", "x"}, "--gap");
    row("unknown noise", {"--noise", "loud"}, "--noise");
    row("no noise bytes", {"--noise-bytes", "0"}, "--noise-bytes");
    row("noise interval 0", {"--noise-interval", "0"}, "--noise-interval");
    row("negative unplug", {"--unplug-after", "-1"}, "--unplug-after");
    row("replug without unplug", {"--replug-after", "1000"}, "--unplug-after");
    row("seed beyond 32 bits", {"--seed", "4294967296"}, "--seed");
    row("empty link", {"--link", ""}, "--link");
    row("gain beyond half", {"--gain", "0.6"}, "--gain");
    row("readings from no file", {"--readings", "/nonexistent/readings.txt"}, "--readings");
    row("readings not distances", {"--readings", RANGEFINDER_SIM}, "line 1");
    row("readings with none", {"--readings", "/dev/null"}, "holds no distance");
    // Values that are wrong only together.
    row("min above max", {"--min", "5", "--max", "2"}, "--min");
    row("replug at once", {"--unplug-after", "1", "--replug-after", "0"}, "--replug-after");
    row("stray argument", {"COM1"}, "COM1");
    row("unknown option", {"--baud", "9600"}, "baud");
}

void tst_SimulatorProgram::badValues()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, mentioned);
    QProcess process;
    process.start(QStringLiteral(RANGEFINDER_SIM), arguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty()); // no port: nothing for a script to use
    const QString error = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(error.contains(mentioned), qPrintable(error));
}

void tst_SimulatorProgram::answersAndLogs()
{
    const QString log = dir.filePath(QStringLiteral("events.log"));
    QProcess process;
    const QString port =
        startSimulator(process, {QStringLiteral("--distance"), QStringLiteral("60.9"),
                                 QStringLiteral("--log"), log});
    QVERIFY(port.startsWith(QStringLiteral("/dev/pts/")));
    QVERIFY(QFileInfo(port).exists());

    QSerialPort serial(port);
    QVERIFY(serial.open(QIODevice::ReadWrite));
    QCOMPARE(exchange(serial).toHex(' '), QByteArray("55 aa 88 01 00 02 61 ec"));
    QCOMPARE(exchange(serial).toHex(' '), QByteArray("55 aa 88 01 00 02 61 ec"));

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            lines.append(QString::fromLatin1(line));
    }
    QCOMPARE(lines.size(), 4);
    const QRegularExpression command(QStringLiteral("^\\d+ command 55 aa 88 ff ff ff ff 84$"));
    const QRegularExpression reply(QStringLiteral("^\\d+ reply 55 aa 88 01 00 02 61 ec$"));
    QVERIFY2(command.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY2(reply.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QVERIFY2(command.match(lines.at(2)).hasMatch(), qPrintable(lines.at(2)));
    QVERIFY2(reply.match(lines.at(3)).hasMatch(), qPrintable(lines.at(3)));
    const qint64 first = lines.at(0).section(QLatin1Char(' '), 0, 0).toLongLong();
    const qint64 last = lines.at(3).section(QLatin1Char(' '), 0, 0).toLongLong();
    QVERIFY(first > 0 && last >= first);
}

// Which paths are refused is the link rules' table; the program's part is its exit, its message
// and leaving the earlier log alone.
void tst_SimulatorProgram::link_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("nothing") << "nothing" << true;
    QTest::newRow("regular file") << "file" << false;
}

void tst_SimulatorProgram::link()
{
    QFETCH(QString, existing);
    QFETCH(bool, accepted);
    const QString path = dir.filePath(QStringLiteral("COM1-%1").arg(existing));
    QVERIFY(makeExisting(existing, path, QString()));

    const QString log = dir.filePath(QStringLiteral("log-%1.txt").arg(existing));
    QVERIFY(writeBytes(log, "earlier run"));
    QProcess process;
    const QString port =
        startSimulator(process, {QStringLiteral("--link"), path, QStringLiteral("--log"), log});
    // Replaced only once linked.
    QCOMPARE(readBytes(log), accepted ? QByteArray("# steady-clock ns, event, bytes\n")
                                      : QByteArray("earlier run"));
    if (!accepted) {
        QVERIFY(port.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 10000);
        QCOMPARE(process.exitCode(), 1);
        const QString error = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(error.contains(path), qPrintable(error));
        return;
    }

    QVERIFY(!port.isEmpty());
    QVERIFY(isSymLink(path));
    QCOMPARE(linkTarget(path), port);
    // The link works as the port's name.
    QSerialPort serial(path);
    QVERIFY(serial.open(QIODevice::ReadWrite));
    QCOMPARE(exchange(serial), ::replyFrame(1, 178));
    serial.close();

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(path) && !isSymLink(path));
}

// However it ends, by a signal or by its own unplugging, it ends itself and leaves no link.
void tst_SimulatorProgram::endsCleanly_data()
{
    QTest::addColumn<int>("signal");   // 0: unplugged after two replies
    QTest::addColumn<int>("replugMs"); // 0: never
    QTest::addColumn<bool>("flood");   // first commands as fast as they go, no reply read
    QTest::newRow("SIGINT") << int(SIGINT) << 0 << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 0 << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << 0 << false;
    QTest::newRow("SIGPIPE") << int(SIGPIPE) << 0 << false;
    QTest::newRow("unplugged") << 0 << 0 << false;
    QTest::newRow("unplugged, back under its link, SIGTERM") << int(SIGTERM) << 300 << false;
    QTest::newRow("SIGTERM after a flood of commands") << int(SIGTERM) << 0 << true;
}

void tst_SimulatorProgram::endsCleanly()
{
    QFETCH(int, signal);
    QFETCH(int, replugMs);
    QFETCH(bool, flood);
    const QString path = dir.filePath(QStringLiteral("COM-end"));
    QStringList arguments{QStringLiteral("--link"), path};
    if (!signal || replugMs)
        arguments << QStringLiteral("--unplug-after") << QStringLiteral("2");
    if (replugMs)
        arguments << QStringLiteral("--replug-after") << QString::number(replugMs);
    QProcess process;
    QString port = startSimulator(process, arguments);
    QVERIFY(!port.isEmpty());
    QCOMPARE(linkTarget(path), port);
    QSerialPort serial(path);
    if (flood) {
        // Every byte received, if kept, would take more memory than half of it.
        [[maybe_unused]] const qint64 before = residentKb(process.processId());
        const qint64 written = floodWithCommands(port, 16 << 20);
        QVERIFY(written >= 16 << 20);
        [[maybe_unused]] const qint64 growthKb = residentKb(process.processId()) - before;
#ifndef __SANITIZE_ADDRESS__ // which holds freed memory back in quarantine
        QVERIFY2(before > 0 && growthKb < written / 1024 / 2,
                 qPrintable(QString::number(growthKb)));
#endif
    }
    if (!signal || replugMs) {
        QVERIFY(serial.open(QIODevice::ReadWrite));
        QCOMPARE(exchange(serial), ::replyFrame(1, 178));
        QCOMPARE(process.state(), QProcess::Running);
        QCOMPARE(exchange(serial), ::replyFrame(1, 178)); // the last reply still arrives
        QTRY_VERIFY(serial.error() == QSerialPort::ResourceError ||
                    serial.error() == QSerialPort::ReadError);
        serial.close();
    }
    if (replugMs) {
        // Gone with its link, then a new terminal under it, announced on stdout.
        QTRY_VERIFY_WITH_TIMEOUT(!isSymLink(path) || linkTarget(path) != port, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 5000);
        port = QString::fromLocal8Bit(process.readLine()).trimmed();
        QCOMPARE(linkTarget(path), port);
        QVERIFY(serial.open(QIODevice::ReadWrite));
        for (int i = 0; i < 3; ++i) // unplugged no more
            QCOMPARE(exchange(serial), ::replyFrame(1, 178));
        serial.close();
    }
    if (signal)
        QVERIFY(::kill(pid_t(process.processId()), signal) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 10000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(!isSymLink(path));
    if (!signal)
        QVERIFY(QString::fromLocal8Bit(process.readAllStandardError())
                    .contains(QStringLiteral("unplugged")));
    QVERIFY(!QFileInfo::exists(port));
}

void tst_SimulatorProgram::portLinkRules_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<bool>("created");
    QTest::newRow("nothing") << "nothing" << true;
    QTest::newRow("own link") << "own" << true;
    QTest::newRow("dangling link") << "dangling" << true;
    QTest::newRow("link to an existing file") << "link" << false;
    QTest::newRow("link to a terminal") << "terminal" << false;
    QTest::newRow("regular file") << "file" << false;
    QTest::newRow("directory") << "directory" << false;
    QTest::newRow("in a missing directory") << "nodir" << false;
}

void tst_SimulatorProgram::portLinkRules()
{
    QFETCH(QString, existing);
    QFETCH(bool, created);
    const QString target = dir.filePath(QStringLiteral("target"));
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QString path = dir.filePath(QStringLiteral("rule-%1").arg(existing));
    // Its own link is one to the target; any other link is to another file.
    const bool own = existing == QLatin1String("own");
    QVERIFY(makeExisting(own ? QStringLiteral("link") : existing, path,
                         own ? target : target + QStringLiteral("-other")));
    if (existing == QLatin1String("nodir"))
        path = dir.filePath(QStringLiteral("missing/rule"));

    QString error;
    QCOMPARE(createPortLink(path, target, &error), created);
    QCOMPARE(error.isEmpty(), created);
    if (!created) {
        // Left as it was.
        if (existing == QLatin1String("file")) {
            QCOMPARE(readBytes(path), QByteArray("keep me"));
        } else if (existing == QLatin1String("directory")) {
            QVERIFY(QFileInfo(path).isDir());
        } else if (existing != QLatin1String("nodir")) {
            QVERIFY(isSymLink(path));
            QCOMPARE(linkTarget(path), existing == QLatin1String("link")
                                           ? target + QStringLiteral("-other")
                                           : QStringLiteral("/dev/tty"));
        }
        return;
    }
    QCOMPARE(linkTarget(path), target);

    // Removed only while it is still the link that was made.
    QFile::remove(path);
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), path));
    QVERIFY(!removePortLink(path, target));
    QVERIFY(isSymLink(path));
    QFile::remove(path);
    QVERIFY(createPortLink(path, target, &error));
    QVERIFY(removePortLink(path, target));
    QVERIFY(!isSymLink(path));
}

QTEST_GUILESS_MAIN(tst_SimulatorProgram)
#include "tst_simulator_program.moc"
