// Ctrl+C on POSIX: SIGINT and SIGTERM set a flag that the loops poll between timed waits; a
// second one ends the process.
#include "tools/common/interrupt.h"

#include <csignal>

#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_signal(int) {
    if (g_interrupted != 0) ::_exit(kInterruptedTwiceExit);  // async-signal-safe, no clean-up
    g_interrupted = 1;
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
