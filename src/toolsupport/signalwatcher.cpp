#include "toolsupport/signalwatcher.h"

#include <QSocketNotifier>
#include <QtGlobal>

// Elsewhere Ctrl-C simply ends the program, without a summary.
#ifdef Q_OS_UNIX

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
}

SignalWatcher::~SignalWatcher()
{
    restoreDefaults();
}

int SignalWatcher::caughtSignal()
{
    return lastSignal;
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

#else

SignalWatcher::SignalWatcher(const QVector<int> &signalNumbers, InterruptedCalls, QObject *parent)
    : QObject(parent), m_signalNumbers(signalNumbers)
{}

SignalWatcher::~SignalWatcher() = default;

int SignalWatcher::caughtSignal()
{
    return 0;
}

bool SignalWatcher::waitForInput(int)
{
    return true;
}

void SignalWatcher::restoreDefaults() {}

void SignalWatcher::readPipe() {}

#endif
