// Ctrl+C on Windows: the console's control handler runs on a thread of its own and only sets a
// flag, so the loop still unloads the plug-in and closes its sockets itself.
#include "tools/common/interrupt.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI on_control(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_interrupted = true;
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
