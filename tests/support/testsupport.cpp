#include "support/testsupport.h"

#include <QComboBox>
#include <QFile>

#include <chrono>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

namespace rangefinder {

qint64 steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : -1;
}

QStringList nonEmptyLines(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}

void addPortAsScanWould(QComboBox *ports, const QString &name)
{
    ports->addItem(name);
    ports->setCurrentIndex(ports->count() - 1);
}

namespace {

BurstCapture *capture = nullptr;
QtMessageHandler previousHandler = nullptr;

void captureBursts(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && message.startsWith(QLatin1String("....."))) {
        const int open = message.indexOf(QLatin1Char('"'));
        const int close = message.lastIndexOf(QLatin1Char('"'));
        if (open >= 0 && close > open) {
            const QStringRef hex = message.midRef(open + 1, close - open - 1);
            capture->sizes.append(hex.size() / 2);
            if (capture->keepBytes)
                capture->bursts.append(QByteArray::fromHex(hex.toLatin1()));
            if (capture->onBurst)
                capture->onBurst(hex.size() / 2);
        }
        return;
    }
    if (type == QtDebugMsg && (capture->quiet || message.startsWith(QLatin1String("send data:"))))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

BurstCapture::BurstCapture()
{
    Q_ASSERT(!capture);
    capture = this;
    previousHandler = qInstallMessageHandler(captureBursts);
}

BurstCapture::~BurstCapture()
{
    qInstallMessageHandler(previousHandler);
    capture = nullptr;
}

void BurstCapture::clear()
{
    sizes.clear();
    bursts.clear();
}

} // namespace rangefinder
