#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include <map>
#include <memory>
#include <optional>
#include <random>

struct termios;
class QSocketNotifier;
class QTimer;

namespace rangefinder {

struct SimulatorSettings
{
    enum class Pattern { Fixed, RandomWalk, Sine };
    enum class Noise { None, BetweenReplies, Continuous };
    Pattern pattern = Pattern::Fixed;
    double distance = 17.8; // metres, Fixed pattern (sent in tenths: 178)
    double minimum = 1.0;   // metres, RandomWalk and Sine
    double maximum = 50.0;
    int periodMs = 10000;     // Sine period
    double failureRate = 0.0; // 0..1: reply with status 0
    double silenceRate = 0.0; // 0..1: no reply at all
    int replyDelayMs = 0;     // from the command's last byte to the reply's first
    int pieces = 1;           // reply split into this many writes
    int pieceGapMs = 0;       // between the pieces
    // > 0: the check byte (the 8th) is written on its own this long after the 7 others, which
    // --pieces splits; as some USB adapters deliver replies
    int checkByteGapMs = 0;
    Noise noise = Noise::None;
    int noiseBytes = 3; // stray bytes after each reply (BetweenReplies) / per burst (Continuous)
    int noiseIntervalMs = 5;    // Continuous: a burst of noise every so often, never falling silent
    int unplugAfterReplies = 0; // 0: never; else close the master after that many replies
    quint32 seed = 1;
    int noiseDelayMs = 0; // BetweenReplies: from the reply's last byte to the noise
    double offset = 0.0;  // metres added to every distance of the pattern: a biased device
    double spread = 0.0;  // metres, standard deviation of seeded normal noise on every distance
    double gain = 0.0;    // a share of the distance added to it: a bias that grows with the range
    // Not empty: the distances in metres, one per command in this order and then again from
    // the first, in place of the pattern's (a study recorded elsewhere, replayed)
    QVector<double> readings;
};

struct SimulatorEvent
{
    enum Kind { Command, Reply, Noise, Unplug, Raw }; // Raw: bytes given to writeRaw()
    Kind kind;
    qint64 steadyNs; // steady_clock, in ns; for Reply: when its last byte was written
    QByteArray bytes;
};

// Reply frame 55 AA 88 S 00 DH DL C (C = low 8 bits of the sum of bytes 2..6).
QByteArray replyFrame(quint8 status, quint16 tenths);

// Distance in metres to tenths as the device sends them, clamped to what 16 bits hold.
quint16 distanceTenths(double metres);

// Sizes of the writes a reply of `total` bytes is split into: as equal as possible, the larger
// ones first; `pieces` is clamped to 1..total.
QVector<int> pieceSizes(int total, int pieces);
// The writes of one reply: its check byte on its own with a late check byte.
QVector<int> replyPieces(const SimulatorSettings &settings);

const char *simulatorEventKindName(SimulatorEvent::Kind kind);

// The distances the device reports, one per measurement. Deterministic: the same settings (seed
// included) and the same elapsed times give the same distances.
class DistancePattern
{
public:
    explicit DistancePattern(const SimulatorSettings &settings);
    // Metres, for a measurement `elapsedMs` after the pattern began: distance x (1 + gain) +
    // offset, spread included.
    double next(qint64 elapsedMs);

private:
    double patternMetres(qint64 elapsedMs);
    double normalNoise();

    SimulatorSettings::Pattern m_pattern;
    double m_distance;
    double m_low;
    double m_high;
    int m_periodMs;
    double m_position;
    double m_offset;
    double m_spread;
    double m_gain;
    QVector<double> m_readings;
    int m_nextReading = 0;
    std::mt19937 m_random;
    std::mt19937 m_noise;
};

// Plays the measuring device on the master side of a pseudo-terminal; a program opens the slave
// side (portName()) as its serial port. Everything runs on the thread the object lives in;
// the accessors and setters may be called from any thread.
class DeviceSimulator : public QObject
{
    Q_OBJECT

public:
    explicit DeviceSimulator(QObject *parent = nullptr);
    ~DeviceSimulator() override;

    // Opens the pty (master and slave, raw mode); false and errorString() on failure. Invokable
    // so that a simulator moved to another thread can be started there.
    Q_INVOKABLE bool start();
    QString errorString() const;
    QString portName() const;
    // The line settings the program on the other side gave the terminal, read through the
    // master: a port opened for exclusive use refuses a second open to anyone but root.
    // False once unplugged.
    bool readLineSettings(termios *settings) const;
    void setSettings(const SimulatorSettings &settings);
    SimulatorSettings settings() const;
    Q_INVOKABLE void unplug();
    bool isUnplugged() const;
    // Behind what is already due, ahead of replies still waiting their turn; never dropped, as
    // the caller paces them.
    Q_INVOKABLE void writeRaw(const QByteArray &bytes);
    QByteArray received() const;
    QVector<SimulatorEvent> events() const;
    // Forgets received() too: both grow for as long as the simulator runs.
    void clearEvents();
    // Off: neither is kept at all (eventRecorded still reports every event), so memory stays
    // the same however fast commands come.
    void setHistoryKept(bool kept);
    int commandCount() const;
    int replyCount() const;

signals:
    void commandReceived();
    void replyWritten(const QByteArray &reply);
    void unplugged();
    // Every event as it is recorded, on the simulator's thread.
    void eventRecorded(const rangefinder::SimulatorEvent &event);
    // Each write of a reply split into pieces, right after it (replyWritten follows the last).
    void replyPieceWritten(const QByteArray &piece);
    // A write to the terminal failed other than by its being full: the device is closed and
    // errorString() says why.
    void failed(const QString &message);

private:
    // Something the device will do: write a reply (one piece at a time), noise or raw bytes,
    // or go, once the program has read its last reply (Unplug).
    struct Pending
    {
        SimulatorEvent::Kind kind = SimulatorEvent::Noise;
        QByteArray bytes;      // for a reply: the whole frame
        QVector<int> pieces;   // Reply: the sizes of the writes it is split into
        int piece = 0;         // Reply: the one to write next
        int offset = 0;        // Reply: where that piece starts in the frame
        qint64 earliestNs = 0; // Reply waiting its turn: not before this
    };
    // What is on the line: written as far as the terminal has taken it.
    struct Writing
    {
        Pending pending;
        QByteArray bytes;
        int written = 0;
    };

    void onReadable();
    void parse(const QByteArray &bytes, qint64 nowNs);
    void answer(qint64 commandNs);
    void schedule(qint64 dueNs, Pending pending);
    void runDue();
    std::multimap<qint64, Pending>::iterator nextPending();
    void begin(const Pending &pending);
    void writeLine();
    void written(const Writing &done, qint64 nowNs);
    void startNextReply(qint64 nowNs);
    bool readyToUnplug(qint64 nowNs) const;
    void armScheduleTimer();
    void continuousNoise();
    void applyNoiseTimer();
    void reseedLocked();
    QByteArray makeNoise();
    void record(SimulatorEvent::Kind kind, qint64 steadyNs, const QByteArray &bytes);
    void stopOnError(const QString &message);
    void closeDevice();
    // Opens the master, the slave held beside it and sets the terminal raw; the failure's text,
    // empty when all went well.
    QString openTerminal(QString &portName);
    void watchMaster();
    // A copy of a member guarded by m_mutex, taken under it.
    template <typename T> T locked(const T &member) const
    {
        QMutexLocker lock(&m_mutex);
        return member;
    }

    mutable QMutex m_mutex;
    // Guarded by m_mutex: what other threads may read or set.
    SimulatorSettings m_settings;
    QString m_errorString;
    QString m_portName;
    bool m_unplugged = false;
    QByteArray m_received;
    QVector<SimulatorEvent> m_events;
    bool m_historyKept = true;
    int m_commandCount = 0;
    int m_replyCount = 0;

    // Used on the simulator's thread only.
    int m_master = -1;
    int m_slave = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_scheduleTimer = nullptr;
    QTimer *m_noiseTimer = nullptr;
    QByteArray m_parse;
    // Everything pending, by due time; equal times keep their order. One reply is underway at a
    // time (scheduled or on the line); the others wait their turn at the end, in arrival order.
    std::multimap<qint64, Pending> m_queue;
    std::optional<Writing> m_line;
    bool m_replyUnderway = false;
    bool m_running = false;        // runDue() is on the stack
    qint64 m_unplugRequestNs = -1; // set while waiting for the program to read the last reply
    qint64 m_patternStartNs = 0;
    std::unique_ptr<DistancePattern> m_pattern;
    std::mt19937 m_decisions;
    std::mt19937 m_noiseRandom;
};

} // namespace rangefinder

Q_DECLARE_METATYPE(rangefinder::SimulatorEvent)
