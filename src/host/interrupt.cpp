#include "host/interrupt.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace host {

namespace {

volatile std::sig_atomic_t gSignal = 0;

const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

void OnInterrupt(int signal)
{
    const int saved = errno;
    gSignal = signal;
    // Only async-signal-safe calls: /dev/null over standard input, so that no later read waits for a user.
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
    errno = saved;
}

const char* SignalName(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

}  // namespace

void CatchInterrupts()
{
    struct sigaction action { };
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : kInterrupts)
        sigaddset(&action.sa_mask, signal);
    // No SA_RESTART: a read waiting on the terminal returns, instead of waiting on.
    action.sa_flags = 0;
    for (int signal : kInterrupts) {
        // A signal ignored from the start (nohup, a shell's background job) stays ignored.
        struct sigaction before { };
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

int InterruptSignal()
{
    return gSignal;
}

bool StopRequested(std::string& error)
{
    const int signal = gSignal;
    if (signal == 0)
        return false;
    error = std::string("interrupted by ") + SignalName(signal);
    return true;
}

void EndByInterrupt()
{
    const int signal = gSignal != 0 ? gSignal : SIGTERM;
    std::fflush(nullptr);
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

}  // namespace host
