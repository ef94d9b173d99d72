#include "signalwatcher.h"

#include <QSocketNotifier>
#include <QtGlobal>

// Elsewhere Ctrl-C simply ends the program, without a summary.
#ifdef Q_OS_UNIX

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int signalNumber)
{
    const auto byte = static_cast<unsigned char>(signalNumber);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    static_cast<void>(written);
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGTERM}) {
        if (::sigaction(signalNumber, &action, nullptr) != 0)
            return;
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
}

SignalWatcher::~SignalWatcher()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM})
        ::sigaction(signalNumber, &action, nullptr);
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        emit caught(byte);
}

#else

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}

SignalWatcher::~SignalWatcher() = default;

void SignalWatcher::readPipe() {}

#endif
