#include "simulator/devicesimulator.h"

#include "core/commandframe.h"
#include "core/replyframe.h"

#include <QMutexLocker>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace rangefinder {

namespace {

constexpr double kMaxMetres = 6553.5;
constexpr qint64 kNsPerMs = 1000000;
constexpr double kPi = 3.14159265358979323846;
// Replies waiting for the one before them to be out: never due until their turn comes.
constexpr qint64 kWaiting = std::numeric_limits<qint64>::max();
// 256 bytes, a small device's transmit buffer: a real device does not hold its replies back for
// a host that reads nothing, so a reply that finds this many waiting is lost.
constexpr int kMaxWaitingReplies = 32;

qint64 steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// [0, 1) from 32 random bits: the same on every standard library, unlike the distributions.
double unit(std::mt19937 &random)
{
    return static_cast<double>(random()) / 4294967296.0;
}

double clampMetres(double metres)
{
    if (!(metres > 0.0)) // NaN too
        return 0.0;
    return std::min(metres, kMaxMetres);
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

QByteArray replyFrame(quint8 status, quint16 tenths)
{
    QByteArray frame(kFrameSize, '\0');
    frame[0] = kReplyStartByte;
    frame[1] = '\xAA';
    frame[2] = '\x88';
    frame[3] = static_cast<char>(status);
    frame[4] = '\x00';
    frame[5] = static_cast<char>(tenths >> 8);
    frame[6] = static_cast<char>(tenths & 0xFF);
    frame[7] = static_cast<char>(frameChecksum(frame));
    return frame;
}

quint16 distanceTenths(double metres)
{
    return static_cast<quint16>(std::lround(clampMetres(metres) * 10.0));
}

QVector<int> pieceSizes(int total, int pieces)
{
    const int count = std::max(1, std::min(pieces, std::max(total, 1)));
    QVector<int> sizes;
    for (int i = 0; i < count; ++i)
        sizes.append(total / count + (i < total % count ? 1 : 0));
    return sizes;
}

QVector<int> replyPieces(const SimulatorSettings &settings)
{
    if (settings.checkByteGapMs <= 0)
        return pieceSizes(kFrameSize, settings.pieces);
    return pieceSizes(kFrameSize - 1, settings.pieces) << 1;
}

const char *simulatorEventKindName(SimulatorEvent::Kind kind)
{
    switch (kind) {
    case SimulatorEvent::Command:
        return "command";
    case SimulatorEvent::Reply:
        return "reply";
    case SimulatorEvent::Noise:
        return "noise";
    case SimulatorEvent::Unplug:
        return "unplug";
    case SimulatorEvent::Raw:
        return "raw";
    }
    return "?";
}

DistancePattern::DistancePattern(const SimulatorSettings &settings)
    : m_pattern(settings.pattern), m_distance(clampMetres(settings.distance)),
      m_low(clampMetres(std::min(settings.minimum, settings.maximum))),
      m_high(clampMetres(std::max(settings.minimum, settings.maximum))),
      m_periodMs(std::max(1, settings.periodMs)), m_offset(settings.offset),
      m_spread(settings.spread), m_gain(settings.gain), m_readings(settings.readings),
      m_random(settings.seed ^ 0x5bd1e995u), m_noise(settings.seed ^ 0x27d4eb2fu)
{
    // The offsets of the seeds here and in reseedLocked() keep the streams apart; changed, they
    // would change what every seed gives, and a run repeated with its seed would not match.
    m_position = m_low + (m_high - m_low) * unit(m_random);
}

double DistancePattern::next(qint64 elapsedMs)
{
    // Drawn also without spread, so that a spread given later shifts no other stream.
    const double noise = normalNoise();
    double metres = 0;
    if (m_readings.isEmpty()) {
        metres = patternMetres(elapsedMs);
    } else {
        metres = m_readings.at(m_nextReading);
        m_nextReading = (m_nextReading + 1) % m_readings.size();
    }
    return metres * (1 + m_gain) + m_offset + m_spread * noise;
}

// Box-Muller on unit(): the same numbers on every standard library, which normal_distribution
// does not promise.
double DistancePattern::normalNoise()
{
    const double u1 = 1.0 - unit(m_noise); // (0, 1]: the logarithm stays finite
    const double u2 = unit(m_noise);
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * kPi * u2);
}

double DistancePattern::patternMetres(qint64 elapsedMs)
{
    switch (m_pattern) {
    case SimulatorSettings::Pattern::Fixed:
        return m_distance;
    case SimulatorSettings::Pattern::RandomWalk: {
        // Steps of up to a twentieth of the range, reflected at the ends, so the walk covers
        // the range in a few dozen measurements without jumping across it.
        const double span = m_high - m_low;
        m_position += span / 10.0 * (unit(m_random) - 0.5);
        if (m_position > m_high)
            m_position = 2 * m_high - m_position;
        if (m_position < m_low)
            m_position = 2 * m_low - m_position;
        m_position = std::min(std::max(m_position, m_low), m_high);
        return m_position;
    }
    case SimulatorSettings::Pattern::Sine: {
        const double phase =
            2 * kPi * static_cast<double>(std::max<qint64>(0, elapsedMs) % m_periodMs) / m_periodMs;
        const double value = m_low + (m_high - m_low) * (0.5 + 0.5 * std::sin(phase));
        return std::min(std::max(value, m_low), m_high);
    }
    }
    return m_distance;
}

DeviceSimulator::DeviceSimulator(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<SimulatorEvent>();
    QMutexLocker lock(&m_mutex);
    reseedLocked();
}

DeviceSimulator::~DeviceSimulator()
{
    closeDevice();
}

bool DeviceSimulator::start()
{
    if (QThread::currentThread() != thread()) {
        bool ok = false;
        QMetaObject::invokeMethod(
            this, [this, &ok] { ok = start(); }, Qt::BlockingQueuedConnection);
        return ok;
    }
    if (m_master >= 0) {
        QMutexLocker lock(&m_mutex);
        m_errorString = QStringLiteral("the simulator is already running");
        return false;
    }
    QString path;
    const QString failure = openTerminal(path);
    if (!failure.isEmpty()) {
        closeDevice();
        QMutexLocker lock(&m_mutex);
        m_errorString = failure;
        return false;
    }
    watchMaster();
    {
        QMutexLocker lock(&m_mutex);
        m_portName = path;
        m_errorString.clear();
        m_unplugged = false;
        reseedLocked();
    }
    applyNoiseTimer();
    return true;
}

QString DeviceSimulator::openTerminal(QString &portName)
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return systemError("posix_openpt");
    if (grantpt(m_master) != 0)
        return systemError("grantpt");
    if (unlockpt(m_master) != 0)
        return systemError("unlockpt");
    char path[128];
    if (ptsname_r(m_master, path, sizeof path) != 0)
        return systemError("ptsname_r");
    const int flags = fcntl(m_master, F_GETFL);
    if (flags < 0 || fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0)
        return systemError("fcntl");

    // Held open for the simulator's whole life: with no slave open anywhere, the master reads
    // EIO and polls as hung up without end, which would spin the read notifier whenever the
    // program closes its port. It also keeps the terminal's settings across the program's opens.
    m_slave = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_slave < 0)
        return systemError("open slave");
    // Raw at once, before the program opens the port: no echo, no translation of CR or LF, no
    // signal characters; 0x03 or 0x0D in a frame must pass through untouched.
    termios tio;
    if (tcgetattr(m_slave, &tio) != 0)
        return systemError("tcgetattr");
    cfmakeraw(&tio);
    if (tcsetattr(m_slave, TCSANOW, &tio) != 0)
        return systemError("tcsetattr");
    portName = QString::fromLocal8Bit(path);
    return QString();
}

void DeviceSimulator::watchMaster()
{
    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] { onReadable(); });
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { runDue(); });
    if (!m_scheduleTimer) {
        m_scheduleTimer = new QTimer(this);
        m_scheduleTimer->setSingleShot(true);
        m_scheduleTimer->setTimerType(Qt::PreciseTimer);
        connect(m_scheduleTimer, &QTimer::timeout, this, &DeviceSimulator::runDue);
    }
    if (!m_noiseTimer) {
        m_noiseTimer = new QTimer(this);
        m_noiseTimer->setTimerType(Qt::PreciseTimer);
        connect(m_noiseTimer, &QTimer::timeout, this, &DeviceSimulator::continuousNoise);
    }
}

QString DeviceSimulator::errorString() const
{
    return locked(m_errorString);
}

QString DeviceSimulator::portName() const
{
    return locked(m_portName);
}

bool DeviceSimulator::readLineSettings(termios *settings) const
{
    return m_master >= 0 && tcgetattr(m_master, settings) == 0;
}

void DeviceSimulator::setSettings(const SimulatorSettings &settings)
{
    {
        QMutexLocker lock(&m_mutex);
        m_settings = settings;
        reseedLocked();
    }
    QMetaObject::invokeMethod(this, [this] { applyNoiseTimer(); });
}

SimulatorSettings DeviceSimulator::settings() const
{
    return locked(m_settings);
}

void DeviceSimulator::unplug()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this] { unplug(); }, Qt::BlockingQueuedConnection);
        return;
    }
    if (m_master < 0)
        return;
    closeDevice();
    {
        QMutexLocker lock(&m_mutex);
        m_unplugged = true;
    }
    record(SimulatorEvent::Unplug, steadyNowNs(), QByteArray());
    emit unplugged();
}

bool DeviceSimulator::isUnplugged() const
{
    return locked(m_unplugged);
}

void DeviceSimulator::writeRaw(const QByteArray &bytes)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this, bytes] { writeRaw(bytes); });
        return;
    }
    Pending raw;
    raw.kind = SimulatorEvent::Raw;
    raw.bytes = bytes;
    schedule(steadyNowNs(), raw);
    runDue();
}

QByteArray DeviceSimulator::received() const
{
    return locked(m_received);
}

QVector<SimulatorEvent> DeviceSimulator::events() const
{
    return locked(m_events);
}

void DeviceSimulator::clearEvents()
{
    QMutexLocker lock(&m_mutex);
    m_events.clear();
    m_received.clear();
}

void DeviceSimulator::setHistoryKept(bool kept)
{
    QMutexLocker lock(&m_mutex);
    m_historyKept = kept;
    m_events.clear();
    m_received.clear();
}

int DeviceSimulator::commandCount() const
{
    return locked(m_commandCount);
}

int DeviceSimulator::replyCount() const
{
    return locked(m_replyCount);
}

void DeviceSimulator::onReadable()
{
    char buffer[4096];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            const qint64 now = steadyNowNs();
            const QByteArray bytes(buffer, static_cast<int>(n));
            {
                QMutexLocker lock(&m_mutex);
                if (m_historyKept)
                    m_received.append(bytes);
            }
            parse(bytes, now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // EIO or end of file: only when no slave is open, which our own slave fd rules out.
        // Never spin on it.
        if (m_readNotifier)
            m_readNotifier->setEnabled(false);
        return;
    }
}

void DeviceSimulator::parse(const QByteArray &bytes, qint64 nowNs)
{
    static const QByteArray start("\x55\xAA", 2);
    const QByteArray command = commandFrame();
    m_parse.append(bytes);
    while (m_master >= 0) {
        const int at = m_parse.indexOf(start);
        if (at < 0) {
            // A trailing 0x55 may be the first half of the next start.
            m_parse = m_parse.endsWith('\x55') ? QByteArray(1, '\x55') : QByteArray();
            return;
        }
        m_parse.remove(0, at);
        const int n = std::min(m_parse.size(), kFrameSize);
        if (std::memcmp(m_parse.constData(), command.constData(), static_cast<size_t>(n)) != 0) {
            // Not the command: look for the next start after this one. The command holds no
            // 0x55 past its first byte, so no start can hide inside the part that matched.
            m_parse.remove(0, start.size());
            continue;
        }
        if (n < kFrameSize)
            return;
        m_parse.remove(0, kFrameSize);
        {
            QMutexLocker lock(&m_mutex);
            ++m_commandCount;
        }
        record(SimulatorEvent::Command, nowNs, command);
        emit commandReceived();
        answer(nowNs);
    }
}

void DeviceSimulator::answer(qint64 commandNs)
{
    SimulatorSettings s;
    bool silent = false;
    bool failed = false;
    double metres = 0;
    {
        QMutexLocker lock(&m_mutex);
        s = m_settings;
        // Every draw happens for every command, so a run with the same seed and the same
        // commands gives the same replies whatever the rates.
        silent = unit(m_decisions) < s.silenceRate;
        failed = unit(m_decisions) < s.failureRate;
        metres = m_pattern->next((commandNs - m_patternStartNs) / kNsPerMs);
    }
    if (silent || m_master < 0 || m_unplugRequestNs >= 0)
        return;
    if (m_replyUnderway && int(m_queue.count(kWaiting)) >= kMaxWaitingReplies)
        return;
    // A failed measurement still carries a distance: a reply whose distance is 0 is not shown
    // by the window at all, and the failure should be visible. A distance below 0 (an offset
    // took it there) is no measurement either.
    Pending reply;
    reply.kind = SimulatorEvent::Reply;
    reply.bytes = replyFrame(failed || metres < 0 ? 0 : 1, distanceTenths(metres));
    reply.pieces = replyPieces(s);
    reply.earliestNs = commandNs + qint64(std::max(0, s.replyDelayMs)) * kNsPerMs;
    // One reply at a time, as the device measures one at a time: a reply waits until the one
    // before it is out.
    if (m_replyUnderway) {
        schedule(kWaiting, reply);
        return;
    }
    m_replyUnderway = true;
    schedule(reply.earliestNs, reply);
    runDue();
}

void DeviceSimulator::schedule(qint64 dueNs, Pending pending)
{
    if (m_master < 0)
        return;
    m_queue.emplace(dueNs, std::move(pending));
}

std::multimap<qint64, DeviceSimulator::Pending>::iterator DeviceSimulator::nextPending()
{
    if (!m_line)
        return m_queue.begin();
    // While the line is busy only the unplugging may go on: it writes nothing.
    if (m_unplugRequestNs < 0)
        return m_queue.end();
    return std::find_if(m_queue.begin(), m_queue.end(), [](const auto &entry) {
        return entry.second.kind == SimulatorEvent::Unplug;
    });
}

void DeviceSimulator::runDue()
{
    // A signal emitted below may schedule more; the loop that is running picks it up.
    if (m_running)
        return;
    m_running = true;
    while (m_master >= 0) {
        if (m_line)
            writeLine();
        const auto next = nextPending();
        if (m_master < 0 || next == m_queue.end() || next->first > steadyNowNs())
            break;
        const Pending pending = std::move(next->second);
        m_queue.erase(next);
        begin(pending);
    }
    m_running = false;
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(m_master >= 0 && m_line.has_value());
    armScheduleTimer();
}

void DeviceSimulator::begin(const Pending &pending)
{
    if (pending.kind == SimulatorEvent::Unplug) {
        const qint64 now = steadyNowNs();
        if (readyToUnplug(now))
            unplug();
        else
            schedule(now + kNsPerMs, pending);
        return;
    }
    Writing writing{pending, pending.bytes, 0};
    if (pending.kind == SimulatorEvent::Reply)
        writing.bytes = pending.bytes.mid(pending.offset, pending.pieces.at(pending.piece));
    m_line = std::move(writing);
}

void DeviceSimulator::writeLine()
{
    while (m_line->written < m_line->bytes.size()) {
        const ssize_t n = ::write(m_master, m_line->bytes.constData() + m_line->written,
                                  static_cast<size_t>(m_line->bytes.size() - m_line->written));
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: the terminal's buffer is full because nobody reads the port; the write
        // notifier resumes once there is room.
        if (n < 0 && errno == EAGAIN)
            return;
        if (n < 0) {
            stopOnError(systemError("write"));
            return;
        }
        m_line->written += static_cast<int>(n);
    }
    const Writing done = std::move(*m_line);
    m_line.reset();
    written(done, steadyNowNs());
}

void DeviceSimulator::armScheduleTimer()
{
    if (!m_scheduleTimer)
        return;
    const auto next = nextPending();
    if (m_master < 0 || next == m_queue.end() || next->first == kWaiting) {
        m_scheduleTimer->stop();
        return;
    }
    // Rounded up: a timer never fires early, so nothing is written before it is due.
    const qint64 wait = next->first - steadyNowNs();
    m_scheduleTimer->start(static_cast<int>(std::max<qint64>(0, (wait + kNsPerMs - 1) / kNsPerMs)));
}

void DeviceSimulator::written(const Writing &done, qint64 nowNs)
{
    const Pending &pending = done.pending;
    if (pending.kind != SimulatorEvent::Reply) {
        record(pending.kind, nowNs, done.bytes);
        return;
    }
    const SimulatorSettings s = settings();
    if (pending.pieces.size() > 1)
        emit replyPieceWritten(done.bytes);
    if (m_master < 0)
        return; // unplugged from a slot of the signal
    if (pending.piece + 1 < pending.pieces.size()) {
        // The gap counts from this piece's write, so that it holds even when a piece was late.
        Pending next = pending;
        ++next.piece;
        next.offset += done.bytes.size();
        const bool checkByte = s.checkByteGapMs > 0 && next.piece + 1 == pending.pieces.size();
        const int gapMs = checkByte ? s.checkByteGapMs : s.pieceGapMs;
        schedule(nowNs + qint64(std::max(0, gapMs)) * kNsPerMs, next);
        return;
    }
    m_replyUnderway = false;
    int replies = 0;
    {
        QMutexLocker lock(&m_mutex);
        replies = ++m_replyCount;
    }
    record(SimulatorEvent::Reply, nowNs, pending.bytes);
    emit replyWritten(pending.bytes);
    if (m_master < 0)
        return;
    if (s.unplugAfterReplies > 0 && replies >= s.unplugAfterReplies) {
        // Closing the master hangs the slave up at once and drops whatever the program has not
        // read yet, so the last reply would never arrive. The device goes once it has; only
        // what was given to writeRaw() still goes out before.
        m_unplugRequestNs = nowNs;
        for (auto it = m_queue.begin(); it != m_queue.end();)
            it = it->second.kind == SimulatorEvent::Raw ? std::next(it) : m_queue.erase(it);
        if (m_noiseTimer)
            m_noiseTimer->stop();
        Pending unplug;
        unplug.kind = SimulatorEvent::Unplug;
        schedule(nowNs + kNsPerMs, unplug);
        return;
    }
    if (s.noise == SimulatorSettings::Noise::BetweenReplies && s.noiseBytes > 0) {
        Pending noise;
        noise.kind = SimulatorEvent::Noise;
        noise.bytes = makeNoise();
        schedule(nowNs + qint64(std::max(0, s.noiseDelayMs)) * kNsPerMs, noise);
    }
    startNextReply(nowNs);
}

void DeviceSimulator::startNextReply(qint64 nowNs)
{
    const auto waiting = m_queue.lower_bound(kWaiting);
    if (waiting == m_queue.end())
        return;
    // Behind anything due at the same time, such as the noise right after the reply before.
    auto node = m_queue.extract(waiting);
    node.key() = std::max(node.mapped().earliestNs, nowNs);
    m_queue.insert(std::move(node));
    m_replyUnderway = true;
}

bool DeviceSimulator::readyToUnplug(qint64 nowNs) const
{
    // The bytes reach the slave's input queue shortly after the write, through the kernel's own
    // worker; a program that reads at all has emptied it within a second.
    constexpr qint64 kSettleNs = 5 * kNsPerMs;
    constexpr qint64 kPatienceNs = 1000 * kNsPerMs;
    const qint64 waited = nowNs - m_unplugRequestNs;
    int unread = 0;
    if (m_slave >= 0 && ::ioctl(m_slave, FIONREAD, &unread) != 0)
        unread = 0;
    const bool allOut = !m_line && m_queue.empty();
    return (allOut && waited >= kSettleNs && unread == 0) || waited >= kPatienceNs;
}

void DeviceSimulator::continuousNoise()
{
    // Noise is not worth queueing: while the terminal is full it is simply not sent.
    if (m_master < 0 || m_line || m_unplugRequestNs >= 0)
        return;
    Pending noise;
    noise.kind = SimulatorEvent::Noise;
    noise.bytes = makeNoise();
    schedule(steadyNowNs(), noise);
    runDue();
}

void DeviceSimulator::applyNoiseTimer()
{
    if (!m_noiseTimer)
        return;
    const SimulatorSettings s = settings();
    if (m_master >= 0 && s.noise == SimulatorSettings::Noise::Continuous && s.noiseBytes > 0)
        m_noiseTimer->start(std::max(1, s.noiseIntervalMs));
    else
        m_noiseTimer->stop();
}

void DeviceSimulator::reseedLocked()
{
    m_pattern = std::make_unique<DistancePattern>(m_settings);
    m_decisions.seed(m_settings.seed);
    m_noiseRandom.seed(m_settings.seed ^ 0x9e3779b9u);
    m_patternStartNs = steadyNowNs();
}

QByteArray DeviceSimulator::makeNoise()
{
    QMutexLocker lock(&m_mutex);
    QByteArray bytes(std::max(0, m_settings.noiseBytes), '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(m_noiseRandom() & 0xFF);
    return bytes;
}

void DeviceSimulator::record(SimulatorEvent::Kind kind, qint64 steadyNs, const QByteArray &bytes)
{
    const SimulatorEvent event{kind, steadyNs, bytes};
    {
        QMutexLocker lock(&m_mutex);
        if (m_historyKept)
            m_events.append(event);
    }
    emit eventRecorded(event);
}

void DeviceSimulator::stopOnError(const QString &message)
{
    closeDevice();
    {
        QMutexLocker lock(&m_mutex);
        m_errorString = message;
    }
    emit failed(message);
}

void DeviceSimulator::closeDevice()
{
    // Deleted later: this may run inside one of the notifiers' own signals.
    for (QSocketNotifier **notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    if (m_scheduleTimer)
        m_scheduleTimer->stop();
    if (m_noiseTimer)
        m_noiseTimer->stop();
    m_unplugRequestNs = -1;
    m_queue.clear();
    m_line.reset();
    m_replyUnderway = false;
    m_parse.clear();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = -1;
    m_master = -1;
}

} // namespace rangefinder
