#include "platform/stopsignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace Platform {

namespace {

// The write end of the pipe, for the signal handler: a signal handler can
// reach nothing but such a variable.
std::atomic<int> stopPipe{-1};

extern "C" void noteStop(int signal)
{
    const int saved = errno;
    if (const int fd = stopPipe.load(); fd >= 0) {
        const char byte = char(signal);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

StopSignals::StopSignals(std::function<void()> onStop) : onStop_(std::move(onStop))
{
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    stopPipe.store(pipe_[1]);
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
        char bytes[16];
        ssize_t n;
        while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0) {
            if (signal_ == 0)
                signal_ = bytes[0];
        }
        if (!received_) {
            received_ = true;
            if (onStop_)
                onStop_();
        }
    });
    struct sigaction action {};
    action.sa_handler = noteStop;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

StopSignals::~StopSignals()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    stopPipe.store(-1);
    notifier_.reset();
    for (const int fd : pipe_)
        if (fd >= 0)
            ::close(fd);
}

void endBySignal(int signal)
{
    std::fflush(nullptr);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal);
    ::sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}

} // namespace Platform
