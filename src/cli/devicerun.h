#pragma once

#include "cli/exitcodes.h"
#include "cli/measurementsession.h"
#include "cli/recordformat.h"
#include "cli/runstatistics.h"

#include <QObject>
#include <QString>

namespace rangefinder {

// One device of a run: its session on its own port, its statistics and how it ended. Several run
// side by side in one event loop, none waiting for another.
class DeviceRun : public QObject
{
    Q_OBJECT

public:
    explicit DeviceRun(const SessionSettings &settings, QObject *parent = nullptr);

    QString port() const { return m_settings.portName; }
    // False, ended as not opened with the reason in openFailure(), when it cannot.
    bool open();
    QString openFailure() const { return m_openFailure; }
    void start();
    // Interrupted, or the output is lost: measures no more, keeps what it has.
    void stop();

    bool hasEnded() const { return m_ended; }
    // How it ended, by what it counted; meaningful once it has.
    DeviceEnding ending() const;
    // Counts what was recorded, as the caller decides: a record that could not be written is not.
    void count(const rangefinder::Measurement &measurement) { m_statistics.add(measurement); }
    const RunStatistics &statistics() const { return m_statistics; }

signals:
    void measured(const rangefinder::Measurement &measurement);
    void lost(const QString &reason);
    // --reconnect: gone, its port to be opened again; back, measuring on.
    void away(const QString &reason);
    void back();
    void ended();

private:
    void end(DeviceEnding::Kind kind);

    SessionSettings m_settings;
    MeasurementSession *m_session;
    RunStatistics m_statistics;
    QString m_openFailure;
    DeviceEnding::Kind m_endingKind = DeviceEnding::Kind::Measured;
    bool m_ended = false;
};

} // namespace rangefinder
