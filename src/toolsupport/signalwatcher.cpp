#include "toolsupport/signalwatcher.h"

#include <QSocketNotifier>
#include <QtGlobal>

#ifdef Q_OS_UNIX

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace rangefinder {

namespace {

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t lastSignal = 0;

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    lastSignal = signalNumber;
    const auto byte = static_cast<unsigned char>(signalNumber);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(written);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(const QVector<int> &signalNumbers, InterruptedCalls interrupted,
                             QObject *parent)
    : QObject(parent), m_signalNumbers(signalNumbers)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_errorString = qt_error_string(errno);
        return;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = interrupted == InterruptedCalls::Restart ? SA_RESTART : 0;
    for (int signalNumber : m_signalNumbers) {
        if (::sigaction(signalNumber, &action, nullptr) != 0) {
            m_errorString = qt_error_string(errno);
            restoreDefaults();
            return;
        }
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    m_watching = true;
}

bool SignalWatcher::waitForInput(int fd)
{
    // The pipe, which the handler writes to, closes the gap between looking at lastSignal and
    // starting to wait.
    pollfd fds[2] = {{fd, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
    while (lastSignal == 0) {
        if (::poll(fds, signalPipe[0] < 0 ? 1 : 2, -1) >= 0 || errno != EINTR)
            return lastSignal == 0;
    }
    return false;
}

void SignalWatcher::restoreDefaults()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : m_signalNumbers)
        ::sigaction(signalNumber, &action, nullptr);
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        emit caught(byte);
}

} // namespace rangefinder

#else

#include <QMetaObject>

#include <atomic>
#include <io.h>
#include <mutex>
#include <windows.h>

namespace rangefinder {

namespace {

std::atomic<int> lastSignal{0};
// The handler runs on a thread Windows starts for each event; the watcher may end meanwhile.
std::mutex watcherMutex;
SignalWatcher *watcher = nullptr;
QVector<int> watchedSignals;
bool handlerSet = false;
// Set, never reset, once a watched event has come: ends a wait for input.
HANDLE caughtEvent = nullptr;

int signalOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_CLOSE_EVENT:
        return SIGHUP;
    default: // Ctrl+Break, logoff, shutdown
        return SIGTERM;
    }
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const int signalNumber = signalOf(event);
    {
        const std::lock_guard<std::mutex> lock(watcherMutex);
        if (!watcher || !watchedSignals.contains(signalNumber))
            return FALSE; // Windows' own way: the process ends
        lastSignal = signalNumber;
        SetEvent(caughtEvent);
        SignalWatcher *target = watcher;
        QMetaObject::invokeMethod(
            target, [target, signalNumber] { emit target->caught(signalNumber); },
            Qt::QueuedConnection);
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    // Windows ends the process as soon as this returns, whatever the run has written by then.
    // The run ends the process itself, with its own exit code, once the summary, the chart and
    // the report are out; Windows' own time limit stays the last word.
    Sleep(INFINITE);
    return TRUE;
}

} // namespace

SignalWatcher::SignalWatcher(const QVector<int> &signalNumbers, InterruptedCalls, QObject *parent)
    : QObject(parent), m_signalNumbers(signalNumbers)
{
    const std::lock_guard<std::mutex> lock(watcherMutex);
    if (!caughtEvent)
        caughtEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!caughtEvent || (!handlerSet && !SetConsoleCtrlHandler(onConsoleEvent, TRUE))) {
        m_errorString = qt_error_string(int(GetLastError()));
        return;
    }
    handlerSet = true;
    watcher = this;
    watchedSignals = signalNumbers;
    m_watching = true;
}

bool SignalWatcher::waitForInput(int fd)
{
    // Only a pipe keeps a read waiting for long: a file has its bytes, and a console's read
    // ends on Ctrl+C by itself. A pipe cannot be waited for together with an event, so it is
    // looked at every few milliseconds while nothing has come.
    const auto input = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE)
        return lastSignal == 0;
    while (lastSignal == 0) {
        DWORD available = 0;
        // Bytes, or a writer gone (which the read then reports as the end).
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available > 0)
            return true;
        WaitForSingleObject(caughtEvent, 10);
    }
    return false;
}

// The handler stays set: without a watcher it leaves every event to Windows. Taking it away
// here could wait for a handler that waits for the process's end.
void SignalWatcher::restoreDefaults()
{
    const std::lock_guard<std::mutex> lock(watcherMutex);
    if (watcher == this)
        watcher = nullptr;
}

void SignalWatcher::readPipe() {}

} // namespace rangefinder

#endif

namespace rangefinder {

SignalWatcher::~SignalWatcher()
{
    restoreDefaults();
}

int SignalWatcher::caughtSignal()
{
    return lastSignal;
}

} // namespace rangefinder
