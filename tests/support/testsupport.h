#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

class QComboBox;

namespace rangefinder {

// Now on the steady clock in nanoseconds, the clock the simulator stamps its events with.
qint64 steadyNowNs();
// CPU time, user and system, that this process has used so far.
double processCpuSeconds();
// CPU time that the calling thread has used so far.
double threadCpuSeconds();
// This process's resident memory, -1 where /proc does not tell.
qint64 residentBytes();

// The lines of text, empty ones left out.
QStringList nonEmptyLines(const QString &text);

// A pseudo-terminal is not listed by the system, so it is added to the port list the way a
// scan would, and selected.
void addPortAsScanWould(QComboBox *ports, const QString &name);

// The bursts the receive path ends, collected from its debug line ("....." and the burst in
// hex) while this object lives. The per-command "send data:" line is dropped too; every other
// message goes on to the handler that was there before, unless quiet. One at a time.
class BurstCapture
{
public:
    BurstCapture();
    ~BurstCapture();
    BurstCapture(const BurstCapture &) = delete;
    BurstCapture &operator=(const BurstCapture &) = delete;

    void clear();

    QList<int> sizes;
    QList<QByteArray> bursts;
    // Off while megabytes stream: the copies would be the memory growth measured.
    bool keepBytes = true;
    // Drops every debug line: printing them would be part of what the benchmark measures.
    bool quiet = false;
    // Called for each burst, after it is counted.
    std::function<void(int size)> onBurst;
};

} // namespace rangefinder
