#include "app/signal_watcher.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

extern "C" void WriteSignalToPipe(int signo)
{
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    // Nothing useful can be done about a full pipe inside a signal handler.
    [[maybe_unused]] auto n = write(SignalPipe[1], &byte, 1);
    errno = savedErrno;
}

void Install(int signo, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signo, &action, nullptr);
}

bool Ignored(int signo)
{
    struct sigaction current {};
    return sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

} // namespace

TSignalWatcher::TSignalWatcher(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), OnSignal(std::move(onSignal))
{
    if (SignalPipe[0] >= 0)
        throw std::logic_error("only one signal watcher may exist");
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot create the signal pipe");
    Notifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
    connect(Notifier.get(), &QSocketNotifier::activated, this, &TSignalWatcher::PipeReadable);
    Install(SIGTERM, WriteSignalToPipe);
    Install(SIGINT, WriteSignalToPipe);
    // Started under nohup, the station is meant to outlive its terminal.
    HangupIgnored = Ignored(SIGHUP);
    if (!HangupIgnored)
        Install(SIGHUP, WriteSignalToPipe);
}

TSignalWatcher::~TSignalWatcher()
{
    Install(SIGTERM, SIG_DFL);
    Install(SIGINT, SIG_DFL);
    if (!HangupIgnored)
        Install(SIGHUP, SIG_DFL);
    Notifier.reset();
    close(SignalPipe[0]);
    close(SignalPipe[1]);
    SignalPipe[0] = SignalPipe[1] = -1;
}

void TSignalWatcher::PipeReadable()
{
    unsigned char byte = 0;
    while (read(SignalPipe[0], &byte, 1) == 1) {
        if (OnSignal)
            OnSignal(byte);
    }
}
