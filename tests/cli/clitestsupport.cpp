#include "cli/clitestsupport.h"

#include "support/devicethread.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace rangefinder {

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
        m.reply.distanceTenths = raw;
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
                             int timeoutMs)
{
    SessionSettings settings;
    settings.portName = device.portName();
    settings.count = count;
    settings.intervalMs = intervalMs;
    settings.timeoutMs = timeoutMs;
    return settings;
}

void CliTest::init()
{
    dataHome = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome->path()));
    qunsetenv("RANGEFINDER_RESULTS");
    sim = new DeviceSimulator;
    QVERIFY2(sim->start(), qPrintable(sim->errorString()));
}

void CliTest::cleanup()
{
    delete sim;
    sim = nullptr;
    dataHome.reset();
}

QStringList CliTest::withPort(const QStringList &arguments) const
{
    return QStringList{QStringLiteral("--port"), sim->portName()} + arguments;
}

void CliTest::runCli(const QStringList &arguments, Run &run, int timeoutMs, const QString &input,
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

void CliTest::parseRecords(const QString &format, const QString &out, QVector<Record> &records,
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
void CliTest::measure(QStringList arguments, const QString &format, int exitCode, Run &run,
                      QVector<Record> &records)
{
    runCli(withPort(arguments << QStringLiteral("--format") << format), run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitCode, exitCode);
    parseRecords(format, run.out, records);
}

QVector<qint64> CliTest::commandTimesMs() const
{
    QVector<qint64> times;
    for (const SimulatorEvent &event : eventsOf(*sim, SimulatorEvent::Command))
        times.append(event.steadyNs / 1000000);
    return times;
}

void CliTest::runSession(const SessionSettings &settings, QVector<Measurement> &measurements,
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
        *ignored = session.ignoredReplies();
}

std::unique_ptr<SqlStore> openedStore(const QString &url, QString *error)
{
    StoreLocation location;
    if (!parseStoreLocation(url, location, error))
        return nullptr;
    auto store = std::make_unique<SqlStore>(location);
    if (store->open())
        return store;
    *error = store->errorString();
    return nullptr;
}

} // namespace rangefinder
