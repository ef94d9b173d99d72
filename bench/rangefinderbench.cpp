// rangefinder-bench: figures for the window's measurement link and its log, measured on this
// machine over a real pseudo-terminal with the simulator as the device. It prints what it
// measures and judges nothing.
//   rangefinder-bench [--only latency|cost|startup|scale]... [--replies N] [--seconds N]
//                     [--runs N] [--lines N] [--block N] [--pane-limit PX] [--save-log FILE]
#include "core/logtextfile.h"
#include "core/measurementtext.h"
#include "core/replyframe.h"
#include "simulator/devicesimulator.h"
#include "support/devicethread.h"
#include "support/namedchild.h"
#include "support/testsupport.h"
#include "toolsupport/optionvalues.h"
#include "window/logpane.h"
#include "window/widget.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace rangefinder;

namespace {

// CPU seconds another process has used so far, from /proc.
double childCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
}

void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
void print(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, size_t(std::ceil(p / 100.0 * double(values.size())) - 1));
    return values.at(index);
}

// Runs the event loop until done() holds, checked whenever wake fires, or until the timeout.
bool runUntil(const std::function<bool()> &done, int timeoutMs,
              const std::function<void(QEventLoop &)> &connectWake)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    connectWake(loop);
    timeout.start(timeoutMs);
    while (!done() && timeout.isActive())
        loop.exec();
    return done();
}

void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A message box would block the benchmark with nobody to answer it: it is reported and closed.
class BoxCloser : public QObject
{
public:
    explicit BoxCloser(QObject *parent) : QObject(parent)
    {
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                std::fprintf(stderr, "rangefinder-bench: the window showed \"%s\"\n",
                             qPrintable(box->text()));
                box->done(QMessageBox::Ok);
            }
        });
        timer->start(500);
    }
};

// The product's window, shown, with access to its parts by object name.
class Window
{
public:
    Window() : m_widget(new Widget)
    {
        m_widget->show();
        wait(300);
    }

    template <typename T> T *child(const char *name) const
    {
        return namedChild<T>(m_widget.get(), name);
    }
    void click(const char *name) { child<QAbstractButton>(name)->click(); }
    bool open(const QString &port)
    {
        addPortAsScanWould(child<QComboBox>("portCBox"), port);
        click("openBtn");
        return child<QSerialPort>("serial")->isOpen();
    }
    QTextEdit *log() const { return child<QTextEdit>("textEdit"); }
    int countLines(const QString &prefix) const
    {
        int count = 0;
        for (QTextBlock block = log()->document()->begin(); block.isValid(); block = block.next())
            count += block.text().startsWith(prefix) ? 1 : 0;
        return count;
    }

private:
    std::unique_ptr<Widget> m_widget;
};

// Bursts the window decoded, from its debug output; replies closer together than the silence
// that ends a burst arrive as one burst, each still given its line.
BurstCapture *bursts = nullptr;

const QString kReceived = QStringLiteral("接收时间");
const QString kSent = QStringLiteral("发送时间");

// A line the window showed for a reply, and when.
struct ShownLine
{
    qint64 ns;      // appended, laid out, the pane scrolled to it
    qint64 readNs;  // the window's last read of the port before it
    qint64 firedNs; // the silence timer's last firing before it
    QString text;
};

// Every reply the device wrote, and every reply line the window showed, in order.
struct LatencyRun
{
    QVector<SimulatorEvent> replies;
    std::vector<ShownLine> lines;
};

// Continuous measurement every 30 ms until the window has shown lines for so many replies.
LatencyRun runLatency(int replies, const SimulatorSettings &settings)
{
    LatencyRun run;
    DeviceThread deviceThread;
    DeviceSimulator *device = deviceThread.device;
    device->setSettings(settings);
    if (!device->start()) {
        print("cannot start the simulator: %s\n", qPrintable(device->errorString()));
        return run;
    }
    {
        Window window;
        // Connected before the window's own connection, made when the port opens, so this runs
        // first: the moment the silence timer fires, before the burst is decoded.
        qint64 lastFired = 0;
        QTimer *rxTimer = window.child<QTimer>("rxTimer");
        QObject::connect(rxTimer, &QTimer::timeout, rxTimer,
                         [&lastFired] { lastFired = steadyNowNs(); });
        if (!window.open(device->portName())) {
            print("cannot open %s\n", qPrintable(device->portName()));
            return run;
        }
        QTextEdit *log = window.log();
        qint64 lastRead = 0;
        QSerialPort *serial = window.child<QSerialPort>("serial");
        QObject::connect(serial, &QSerialPort::readyRead, serial,
                         [&lastRead] { lastRead = steadyNowNs(); });
        // The window logs each decoded burst right after appending its lines, one per reply
        // (joined replies share a burst): by then they are laid out and the pane scrolled.
        int blocksSeen = log->document()->blockCount();
        bursts->onBurst = [&](int) {
            const qint64 now = steadyNowNs();
            const QTextDocument *document = log->document();
            std::vector<QString> fresh;
            QTextBlock block = document->lastBlock();
            for (int n = document->blockCount() - blocksSeen; n > 0;
                 --n, block = block.previous()) {
                if (block.text().startsWith(kReceived))
                    fresh.insert(fresh.begin(), block.text());
            }
            blocksSeen = document->blockCount();
            for (const QString &text : fresh)
                run.lines.push_back({now, lastRead, lastFired, text});
        };
        window.child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("30"));
        window.click("continueSendBtn");
        runUntil([&] { return run.lines.size() >= size_t(replies); }, replies * 30 * 4,
                 [&](QEventLoop &loop) {
                     QObject::connect(log, &QTextEdit::textChanged, &loop, [&] {
                         if (run.lines.size() >= size_t(replies))
                             loop.quit();
                     });
                 });
        window.click("continueSendBtn");
        wait(100);
        bursts->onBurst = nullptr;
    }
    run.replies = eventsOf(*device, SimulatorEvent::Reply);
    return run;
}

// What the window shows after the time stamp for a reply, metres selected.
QString shownValue(const QByteArray &reply)
{
    Reply decoded;
    decoded.status = quint8(reply.at(3));
    decoded.distanceTenths = quint16(quint8(reply.at(5)) << 8 | quint8(reply.at(6)));
    return frameLine(decoded, LengthUnit::Metre);
}

// Latency per reply: its k-th line against the k-th reply written, each pair checked by the
// value it shows. Returns p50 in ms, or -1.
double printLatency(const LatencyRun &run)
{
    const size_t n = std::min(size_t(run.replies.size()), run.lines.size());
    std::vector<double> ms, toRead, toLine, toFire, fireToLine;
    int mismatched = 0;
    for (size_t i = 0; i < n; ++i) {
        const qint64 written = run.replies.at(int(i)).steadyNs;
        const ShownLine &line = run.lines.at(i);
        mismatched += line.text.endsWith(shownValue(run.replies.at(int(i)).bytes)) ? 0 : 1;
        ms.push_back(double(line.ns - written) / 1e6);
        toRead.push_back(double(line.readNs - written) / 1e6);
        toLine.push_back(double(line.ns - line.readNs) / 1e6);
        toFire.push_back(double(line.firedNs - line.readNs) / 1e6);
        fireToLine.push_back(double(line.ns - line.firedNs) / 1e6);
    }
    print("%d replies written, %zu lines shown, %d pairs whose line shows another value\n",
          run.replies.size(), run.lines.size(), mismatched);
    if (ms.empty())
        return -1;
    print("latency ms: p50 %.2f  p95 %.2f  p99 %.2f  max %.2f  min %.2f  (over %zu; the silence "
          "timer alone is %d)\n",
          percentile(ms, 50), percentile(ms, 95), percentile(ms, 99), percentile(ms, 100),
          percentile(ms, 0.0001), ms.size(), kBurstSilenceMs);
    print("  written -> the window reads it: p50 %.2f  p99 %.2f  max %.2f\n",
          percentile(toRead, 50), percentile(toRead, 99), percentile(toRead, 100));
    print("  read -> line (silence timer, decode, append, auto-scroll): p50 %.2f  p99 %.2f  "
          "max %.2f\n",
          percentile(toLine, 50), percentile(toLine, 99), percentile(toLine, 100));
    print("    read -> the silence timer fires: p50 %.2f  p99 %.2f  max %.2f\n",
          percentile(toFire, 50), percentile(toFire, 99), percentile(toFire, 100));
    print("    timer -> line (decode, append, auto-scroll): p50 %.2f  p99 %.2f  max %.2f\n",
          percentile(fireToLine, 50), percentile(fireToLine, 99), percentile(fireToLine, 100));
    return percentile(ms, 50);
}

// 1. From the device writing a reply's last byte to its line in the pane. A walking distance,
// so that a pair of a line and the wrong reply shows. Then a case whose latency is known: noise
// a few milliseconds behind each reply restarts the silence, so each line comes that much later.
void latency(int replies)
{
    print("\n== Latency: reply's last byte written -> its line in the pane ==\n");
    SimulatorSettings settings;
    settings.pattern = SimulatorSettings::Pattern::RandomWalk;
    print("continuous measurement every 30 ms, distance walking: ");
    const double plain = printLatency(runLatency(replies, settings));

    constexpr int kNoiseDelayMs = 6;
    settings.noise = SimulatorSettings::Noise::BetweenReplies;
    settings.noiseBytes = 2;
    settings.noiseDelayMs = kNoiseDelayMs;
    print("the same, with 2 bytes of noise %d ms behind each reply: ", kNoiseDelayMs);
    const double later = printLatency(runLatency(std::min(replies, 300), settings));
    if (plain >= 0 && later >= 0)
        print("check: p50 grew by %.2f ms, the noise's delay is %d ms\n", later - plain,
              kNoiseDelayMs);
}

// What a QTextEdit alone costs at the window's pace: a bare one of the log pane's size, with
// Qt's default look, gets the window's two lines per measurement (the send line every 20 ms,
// the reply line 12 ms later) and nothing else: no port, no style sheet, no auto-scroll slot.
void textEditFloor(int seconds, const QSize &paneSize)
{
    QWidget window;
    window.resize(1208, 780);
    auto *pane = new QTextEdit(&window);
    pane->setGeometry(QRect(QPoint(20, 300), paneSize));
    window.show();
    wait(300);

    QTimer send;
    send.setInterval(20);
    QTimer reply;
    reply.setSingleShot(true);
    reply.setInterval(12);
    QObject::connect(&send, &QTimer::timeout, pane, [&] {
        pane->append(sendLine(QDateTime::currentDateTime()));
        reply.start();
    });
    Reply measured;
    measured.status = 1;
    measured.distanceTenths = 178;
    QObject::connect(&reply, &QTimer::timeout, pane, [&] {
        pane->append(receiveLine(measured, LengthUnit::Metre, QDateTime::currentDateTime()));
    });
    const double cpuBefore = processCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    send.start();
    wait(seconds * 1000);
    send.stop();
    wait(100);
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    const double cpu = processCpuSeconds() - cpuBefore;
    print("for comparison, a bare QTextEdit given the same lines at the same pace: %d lines, "
          "%.2f%% of one core\n",
          pane->document()->blockCount(), 100 * cpu / wall);
}

// 2. Continuous measurement every 20 ms against the simulator as a separate process, so that
// this process's CPU time is the window's alone.
void cost(int seconds, const QString &savePath)
{
    print("\n== Loss and cost: continuous measurement every 20 ms for %d s, device answering "
          "after 2 ms ==\n",
          seconds);
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("sim.log"));
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(RANGEFINDER_SIM),
              {QStringLiteral("--delay"), QStringLiteral("2"), QStringLiteral("--log"), logPath});
    if (!sim.waitForReadyRead(10000)) {
        print("rangefinder-sim did not start: %s\n", qPrintable(sim.errorString()));
        return;
    }
    const QString port = QString::fromLocal8Bit(sim.readLine().trimmed());

    int sentLines = 0;
    int failedLines = 0;
    int receivedLines = 0;
    double cpu = 0;
    double threadCpu = 0;
    double wall = 0;
    double simCpu = 0;
    QString slices;
    QSize paneSize;
    {
        Window window;
        if (!window.open(port)) {
            print("cannot open %s\n", qPrintable(port));
            return;
        }
        window.child<QLineEdit>("timeLineEdit")->setText(QStringLiteral("20"));
        wait(200);
        const double simCpuBefore = childCpuSeconds(sim.processId());
        const double cpuBefore = processCpuSeconds();
        const double threadBefore = threadCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        bursts->clear();
        window.click("continueSendBtn");
        // In slices, to show whether the cost grows as the log does.
        double sliceStart = processCpuSeconds();
        for (int done = 0; done < seconds; done += 10) {
            const int slice = std::min(10, seconds - done);
            wait(slice * 1000);
            const double now = processCpuSeconds();
            slices += QStringLiteral(" %1%").arg(100 * (now - sliceStart) / slice, 0, 'f', 1);
            sliceStart = now;
        }
        window.click("continueSendBtn");
        // The last reply is on its way for a few milliseconds more.
        wait(100);
        wall = double(clock.nsecsElapsed()) / 1e9;
        cpu = processCpuSeconds() - cpuBefore;
        threadCpu = threadCpuSeconds() - threadBefore;
        simCpu = childCpuSeconds(sim.processId()) - simCpuBefore;
        sentLines = window.countLines(kSent);
        failedLines = window.countLines(QStringLiteral("发送失败"));
        receivedLines = window.countLines(kReceived);
        paneSize = window.log()->size();
        // For rangefinder-cli --from: the log as 文件保存 writes it.
        if (!savePath.isEmpty() && !saveLogText(savePath, window.log()->toPlainText()))
            print("cannot save the log to %s\n", qPrintable(savePath));
    }
    sim.terminate();
    sim.waitForFinished(5000);

    int commands = 0;
    int replies = 0;
    QFile log(logPath);
    if (log.open(QIODevice::ReadOnly)) {
        while (!log.atEnd()) {
            const QList<QByteArray> fields = log.readLine().split(' ');
            if (fields.size() < 2)
                continue;
            commands += fields.at(1) == "command" ? 1 : 0;
            replies += fields.at(1) == "reply" ? 1 : 0;
        }
    }
    print("commands sent %d (failed %d), commands the device received %d, replies sent %d, "
          "lines decoded %d, lost %d\n",
          sentLines, failedLines, commands, replies, receivedLines, replies - receivedLines);
    int repliesJoined = 0;
    for (int bytes : bursts->sizes)
        repliesJoined += bytes > 8 ? bytes / 8 - 1 : 0;
    print("bursts decoded %d; replies that reached the window within 10 ms of the one before and "
          "so joined its burst %d\n",
          bursts->sizes.size(), repliesJoined);
    print("CPU of this process %.3f s in %.1f s = %.2f%% of one core (the window's thread "
          "%.2f%%); the simulator process %.2f%%\n",
          cpu, wall, 100 * cpu / wall, 100 * threadCpu / wall, 100 * simCpu / wall);
    print("CPU per 10 s of the run:%s\n", qPrintable(slices));
    textEditFloor(seconds, paneSize);
}

// A measurement line as the decoder makes it, with a distance that changes from line to line.
QString measurementLine(int i)
{
    Reply reply;
    reply.status = 1;
    reply.distanceTenths = quint16(1 + i % 5000);
    return receiveLine(reply, LengthUnit::Metre, QDateTime::currentDateTime());
}

// 3. A million measurement lines appended to the pane as the decoder appends them, through the
// window's own LogPane. Qt 5's text layout breaks down once a document is about 2^31 / 100
// pixels tall (every line then lays the whole document out again); the pane hands its older
// lines on well before that. --pane-limit above that height shows the breakdown: the first line
// that takes over a second to append ends the scale, and should a line never return, a watchdog
// reports the freeze and ends the program.
void scale(int lines, int block, double paneLimitPx)
{
    print("\n== Log scale: %d lines appended as the decoder does, auto-scroll on each ==\n", lines);
    Window window;
    QTextEdit *log = window.log();
    auto *logPane = window.child<LogPane>("logPane");
    logPane->setLimits(paneLimitPx, kLogPaneLinesShown);
    const qint64 residentBefore = residentBytes();

    std::atomic<int> appended(0);
    std::atomic<bool> finished(false);
    std::thread watchdog([&] {
        int seen = -1;
        QElapsedTimer still;
        still.start();
        while (!finished.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (appended.load() != seen) {
                seen = appended.load();
                still.restart();
            } else if (still.elapsed() > 60000) {
                print("the pane froze: no line appended for 60 s after %d lines\n", seen);
                std::_Exit(3);
            }
        }
    });

    std::vector<double> blocks;
    int handOns = 0;
    double slowestHandOn = 0;
    int done = 0;
    QElapsedTimer clock;
    clock.start();
    for (; done < lines; ++done) {
        const qint64 before = clock.nsecsElapsed();
        const bool handedOn = logPane->append(measurementLine(done));
        const double took = double(clock.nsecsElapsed() - before) / 1e9;
        if (handedOn) {
            ++handOns;
            slowestHandOn = std::max(slowestHandOn, took);
        } else if (took > 1.0) {
            // Appending a line takes well under a millisecond until the layout breaks down.
            print("the pane broke down: line %d took %.1f s to append, the pane %d lines, %.0f px "
                  "tall; the scale stops here\n",
                  done + 1, took, log->document()->blockCount(), log->document()->size().height());
            ++done;
            break;
        }
        appended.store(done + 1);
        // The event loop runs between lines as it does between bursts: repaints happen.
        if (done % 100 == 99)
            QCoreApplication::processEvents();
        if ((done + 1) % block == 0) {
            blocks.push_back(double(clock.nsecsElapsed()) / 1e9);
            print("  lines %7d to %7d: %.2f s (pane %d lines, %.0f px)\n", done + 2 - block,
                  done + 1, blocks.back(), log->document()->blockCount(),
                  log->document()->size().height());
            clock.restart();
        }
    }
    QCoreApplication::processEvents();
    finished.store(true);
    watchdog.join();
    const qint64 resident = residentBytes() - residentBefore;
    if (!blocks.empty()) {
        print("block of %d lines: first %.2f s, last %.2f s, last/first %.2f\n", block,
              blocks.front(), blocks.back(), blocks.back() / blocks.front());
    }
    print("the pane handed its older lines on %d times (above %.0f px), the slowest line that "
          "did so took %.3f s\n",
          handOns, paneLimitPx, slowestHandOn);
    print("resident memory: +%.1f MB, %.0f bytes per line\n", double(resident) / 1e6,
          double(resident) / std::max(1, done));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    clock.restart();
    const QString text = logPane->text();
    const double plain = double(clock.nsecsElapsed()) / 1e9;
    clock.restart();
    QString error;
    bool saved = saveLogText(path, text, &error);
    const double write = double(clock.nsecsElapsed()) / 1e9;
    print("save of the log's %d lines: %.2f s (the log's text %.2f s, saveLogText %.2f s), "
          "%lld bytes, %d lines in the file%s%s\n",
          done, plain + write, plain, write, QFileInfo(path).size(), text.count('\n') + 1,
          saved ? "" : ", failed: ", qPrintable(error));
    clock.restart();
    window.click("clearBtn");
    QCoreApplication::processEvents();
    print("clear: %.3f s\n", double(clock.nsecsElapsed()) / 1e9);
}

// 4. From process start to the window on screen, the product's against a bare one; the form
// alone is timed too, to tell the form's cost from the window's own start-up work.
void startup(int runs)
{
    print("\n== Start-up: process start -> window exposed and painted (QPA: %s) ==\n",
          qPrintable(QGuiApplication::platformName()));
    const char *names[] = {"bare window", "the window", "form alone"};
    const QString programs[] = {QStringLiteral(BENCH_STARTUP_BARE),
                                QStringLiteral(BENCH_STARTUP_WINDOW),
                                QStringLiteral(BENCH_STARTUP_FORM)};
    constexpr int kPrograms = 3;
    std::vector<double> ms[kPrograms];
    for (int run = 0; run < runs; ++run) {
        for (int which = 0; which < kPrograms; ++which) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            QElapsedTimer clock;
            clock.start();
            child.start(programs[which], QStringList());
            bool seen = false;
            while (!seen && child.waitForReadyRead(10000))
                seen = child.readAll().contains("exposed");
            const double elapsed = double(clock.nsecsElapsed()) / 1e6;
            child.waitForFinished(10000);
            if (seen)
                ms[which].push_back(elapsed);
            else
                print("run %d: %s showed no window\n", run, names[which]);
        }
    }
    for (int which = 0; which < kPrograms; ++which) {
        QString all;
        for (double value : ms[which])
            all += QStringLiteral(" %1").arg(value, 0, 'f', 0);
        print("%-12s median %.0f ms, min %.0f, max %.0f (runs:%s)\n", names[which],
              percentile(ms[which], 50), percentile(ms[which], 0.0001), percentile(ms[which], 100),
              qPrintable(all));
    }
    if (!ms[0].empty() && !ms[1].empty() && !ms[2].empty())
        print("the window / bare: %.2f, the form alone / bare: %.2f (medians)\n",
              percentile(ms[1], 50) / percentile(ms[0], 50),
              percentile(ms[2], 50) / percentile(ms[0], 50));
}

// What the command line asks the benchmark for, besides its parts.
struct BenchSettings
{
    int replies = 1000;
    int seconds = 60;
    int lines = 1000000;
    int block = 50000;
    int runs = 10;
    double paneLimit = kLogPaneHeightLimit;
    QString saveLog;
};

const std::vector<OptionRow<BenchSettings>> &benchRows()
{
    static const std::vector<OptionRow<BenchSettings>> rows = {
        {"only", "part", "Run only this part (repeatable): latency, cost, startup, scale."},
        {"replies", "n", "Replies timed for latency (%1).",
         wholeNumber(field(&BenchSettings::replies), 1)},
        {"seconds", "n", "Length of the cost run (%1).",
         wholeNumber(field(&BenchSettings::seconds), 1)},
        {"lines", "n", "Lines appended for the log scale (%1).",
         wholeNumber(field(&BenchSettings::lines), 1)},
        {"block", "n", "Lines per timed block (%1).", wholeNumber(field(&BenchSettings::block), 1)},
        {"runs", "n", "Start-ups of each window (%1).",
         wholeNumber(field(&BenchSettings::runs), 1)},
        {"pane-limit", "px",
         "Height at which the log pane hands its older lines on (the window's own, %1; above "
         "21470000 the pane freezes).",
         parsedValue<BenchSettings, double>(
             field(&BenchSettings::paneLimit),
             [](const QString &text) { return numberIn(text, 1, 1e12); },
             QStringLiteral("a number of pixels above 0"),
             [](const double &px) { return QString::number(px, 'f', 0); })},
        {"save-log", "file", "Save the window's log of the cost run to this file.",
         path(field(&BenchSettings::saveLog), QStringLiteral("a file name"))}};
    return rows;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const std::vector<OptionRow<BenchSettings>> &rows = benchRows();
    addOptions(parser, helpOf(rows));
    parser.process(app);
    BenchSettings settings;
    OptionReader read(parser);
    readRows(read, rows, settings);
    if (!read.error().isEmpty()) {
        std::fprintf(stderr, "rangefinder-bench: %s\n", qPrintable(read.error()));
        return 2;
    }
    const QStringList parts =
        parser.isSet(QStringLiteral("only"))
            ? parser.values(QStringLiteral("only"))
            : QStringList({QStringLiteral("latency"), QStringLiteral("cost"),
                           QStringLiteral("scale"), QStringLiteral("startup")});

    // The window's debug output (a line per command and per burst) is not what is measured.
    BurstCapture capture;
    capture.quiet = true;
    capture.keepBytes = false;
    bursts = &capture;
    BoxCloser closer(&app);

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    double load[3] = {};
    getloadavg(load, 3);
    print("rangefinder-bench on %s, %ld cores, Qt %s, QPA %s, load average %.2f %.2f %.2f\n", host,
          sysconf(_SC_NPROCESSORS_ONLN), qVersion(), qPrintable(QGuiApplication::platformName()),
          load[0], load[1], load[2]);

    if (parts.contains(QStringLiteral("latency")))
        latency(settings.replies);
    if (parts.contains(QStringLiteral("cost")))
        cost(settings.seconds, settings.saveLog);
    if (parts.contains(QStringLiteral("startup")))
        startup(settings.runs);
    // Last: with --pane-limit past the breakdown it may end the program.
    if (parts.contains(QStringLiteral("scale")))
        scale(settings.lines, settings.block, settings.paneLimit);

    getloadavg(load, 3);
    print("\nload average at the end %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
