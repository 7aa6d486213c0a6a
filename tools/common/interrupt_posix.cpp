// Ctrl+C on POSIX: SIGINT and SIGTERM set a flag that the loops poll between timed waits, and
// post the semaphore that interrupt_wait sleeps on (one of the few calls a handler may make); a
// second one ends the process.
#include "tools/common/interrupt.h"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <semaphore.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

struct WakeSemaphore {
    sem_t sem;
    WakeSemaphore() { ::sem_init(&sem, 0, 0); }
    ~WakeSemaphore() { ::sem_destroy(&sem); }
};

WakeSemaphore g_wake;

void on_signal(int) {
    if (g_interrupted != 0) ::_exit(kInterruptedTwiceExit);  // async-signal-safe, no clean-up
    g_interrupted = 1;
    ::sem_post(&g_wake.sem);
}

}  // namespace

void interrupt_install() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);  // no SA_RESTART: a blocked wait returns at once
    ::sigaction(SIGTERM, &action, nullptr);
}

bool interrupt_requested() {
    return g_interrupted != 0;
}

bool interrupt_wait(int timeout_ms) {
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += timeout_ms / 1000;
    until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1'000'000;
    if (until.tv_nsec >= 1'000'000'000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000;
    }
    while (::sem_clockwait(&g_wake.sem, CLOCK_MONOTONIC, &until) != 0) {
        if (errno != EINTR) return false;     // ETIMEDOUT
        if (g_interrupted != 0) return true;  // the handler ran on this thread, its post is due
    }
    return true;
}

void interrupt_wake() {
    ::sem_post(&g_wake.sem);
}
