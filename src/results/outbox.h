#pragma once

#include "results/runrow.h"
#include "results/sqlstore.h"

#include <QString>
#include <QStringList>

namespace rangefinder {

// Runs kept on this machine for a server that could not be reached: a SQLite store of its own
// plus the server each run is for. Delivering a run writes it whole to its server and then
// forgets it here; as a server skips what it holds already, a run delivered twice (the outbox
// lost on the way, a program killed after the server's commit) is still stored once.
class Outbox
{
public:
    explicit Outbox(const QString &path);

    bool open();
    QString path() const { return m_store.location().path; }
    QString errorString() const { return m_store.errorString(); }

    // The run as it is now and measurements the server may lack, for the server named target.
    bool keep(const QString &target, const RunRow &run, const QVector<MeasurementRow> &rows);
    // Runs waiting, for one server or (empty target) for any; -1 when the outbox cannot say.
    int waiting(const QString &target = QString());
    bool targets(QStringList &names);
    // Delivers the runs waiting for the server; the number delivered, or -1 when one could not
    // be (the reason in errorString() of the outbox or of the server).
    int deliver(SqlStore &server);

private:
    SqlStore m_store;
};

} // namespace rangefinder
