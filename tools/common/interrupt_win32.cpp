// Ctrl+C on Windows: the console's control handler runs on a thread of its own and only sets a
// flag and the event that interrupt_wait sleeps on, so the loop still unloads the plug-in and
// closes its sockets itself. A second one ends the process.
#include "tools/common/interrupt.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool> g_interrupted{false};

// Auto-reset: each wake ends one wait, as the POSIX side's semaphore post does.
struct WakeEvent {
    HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~WakeEvent() { ::CloseHandle(event); }
};

WakeEvent g_wake;

BOOL WINAPI on_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // The second press: end now, without the clean-up that may be what hangs (a thread stuck
        // writing to a paused console holds the runtime's stream lock that exit would take).
        if (g_interrupted.exchange(true)) {
            ::TerminateProcess(::GetCurrentProcess(), kInterruptedTwiceExit);
        }
        ::SetEvent(g_wake.event);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void interrupt_install() {
    ::SetConsoleCtrlHandler(on_control, TRUE);
}

bool interrupt_requested() {
    return g_interrupted;
}

bool interrupt_wait(int timeout_ms) {
    return ::WaitForSingleObject(g_wake.event, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

void interrupt_wake() {
    ::SetEvent(g_wake.event);
}
