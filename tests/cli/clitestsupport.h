#pragma once

#include "cli/measurement.h"
#include "cli/measurementsession.h"
#include "results/sqlstore.h"
#include "simulator/devicesimulator.h"

#include <QDateTime>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <memory>

namespace rangefinder {

// What the command line's test programs share: a simulator on a pseudo-terminal for each test
// function, the program run as a process on its port, its records read back, and the measuring
// session run in-process.
class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

protected:
    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        qint64 wallMs = 0;
        QString out;
        QString err;
    };
    struct Record
    {
        QString time, status, metres, value, unit, latency, raw, check, port;
    };

    QStringList withPort(const QStringList &arguments) const;
    void runCli(const QStringList &arguments, Run &run, int timeoutMs = 20000,
                const QString &input = QString(),
                const QString &program = QStringLiteral(RANGEFINDER_CLI));
    void parseRecords(const QString &format, const QString &out, QVector<Record> &records,
                      bool withPort = false);
    void measure(QStringList arguments, const QString &format, int exitCode, Run &run,
                 QVector<Record> &records);
    QVector<qint64> commandTimesMs() const;
    void runSession(const SessionSettings &settings, QVector<Measurement> &measurements,
                    int *ignored = nullptr, int timeoutMs = 15000);

    DeviceSimulator *sim = nullptr;
    // XDG_DATA_HOME of the program under test: station runs are kept there by default, never in
    // the home of whoever runs the tests.
    std::unique_ptr<QTemporaryDir> dataHome;
};

extern const QDateTime kTime;
extern const QString kHexReply178;
extern const QString kIsoTime;

Measurement measurement(Measurement::Status status, quint8 statusByte, quint16 raw,
                        qint64 latencyMs);
Measurement disconnection(qint64 awayMs);
SessionSettings sessionOnSim(const DeviceSimulator &device, int count, int intervalMs,
                             int timeoutMs = 1000);
// The store that url names, opened; null, with the reason in error, when it cannot be.
std::unique_ptr<SqlStore> openedStore(const QString &url, QString *error);

} // namespace rangefinder

Q_DECLARE_METATYPE(rangefinder::Measurement::Status)
