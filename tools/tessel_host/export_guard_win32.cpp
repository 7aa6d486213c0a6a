// The guard: the process's last-chance exception filter and the abort signal, both of which
// leave through a jump back to the guarded call while one is active on the calling thread.
#include "tools/tessel_host/export_guard_win32.h"

#include "tools/tessel_host/check_report.h"

#include <windows.h>

#include <setjmp.h>
#include <signal.h>
#include <cstdio>

namespace {

// The resumed thread continues this far below the guarded call's frame: beneath it lie only the
// abandoned frames of the plug-in and of the exception dispatch.
constexpr std::uintptr_t kResumeDepth = 8192;

struct Guard {
    jmp_buf resume;
    DWORD thread = 0;
    volatile bool active = false;
    std::uintptr_t stack = 0;
    EXCEPTION_RECORD record{};
    bool aborted = false;
    bool installed = false;
    LPTOP_LEVEL_EXCEPTION_FILTER previous = nullptr;
};

Guard g;

[[noreturn]] void resume_guarded_call() {
    longjmp(g.resume, 1);
}

bool guarding_this_thread() {
    return g.active && ::GetCurrentThreadId() == g.thread;
}

// Reached only when no frame handled the exception. The dispatcher goes on with the context as
// changed here: in a fresh frame that jumps back to the guarded call. Leaving through the
// dispatcher's own way out, rather than jumping from inside it, leaves the system's exception
// machinery as it expects to be left.
LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* e) {
    if (!guarding_this_thread()) {
        return g.previous != nullptr ? g.previous(e) : EXCEPTION_CONTINUE_SEARCH;
    }
    g.active = false;
    g.record = *e->ExceptionRecord;
    // As on entry to a function: the stack 16-byte aligned before the call pushed its return.
    e->ContextRecord->Rsp = ((g.stack - kResumeDepth) & ~std::uintptr_t{15}) - 8;
    e->ContextRecord->Rip = reinterpret_cast<DWORD64>(&resume_guarded_call);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// abort() raises SIGABRT synchronously on the aborting thread, so it may jump straight back.
void on_abort(int) {
    if (guarding_this_thread()) {
        g.active = false;
        g.aborted = true;
        longjmp(g.resume, 1);
    }
    ::_exit(3);  // what abort does once the signal returns
}

std::string module_offset(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module)) {
        return "";
    }
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(module, path, MAX_PATH);
    std::string name(path, n);
    name = name.substr(name.find_last_of("\\/") + 1);
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%llx",
                  static_cast<unsigned long long>(static_cast<const char*>(address) -
                                                  reinterpret_cast<const char*>(module)));
    return " in " + name + offset;
}

GuardedCall what_escaped() {
    GuardedCall r;
    r.returned = false;
    if (g.aborted) {
        r.what = "an abort (std::terminate: an exception reached a noexcept function or left a "
                 "thread, or abort() was called)";
        return r;
    }
    r.code = g.record.ExceptionCode;
    r.what = exception_kind(r.code);
    if (r.code == EXCEPTION_ACCESS_VIOLATION && g.record.NumberParameters >= 2) {
        r.what += " (" + access_violation_detail(g.record.ExceptionInformation[0],
                                                 g.record.ExceptionInformation[1]) + ")";
    }
    if (r.code >= 0xC0000000 && r.code != 0xE06D7363) {  // not raised through RaiseException
        r.what += module_offset(g.record.ExceptionAddress);
    }
    return r;
}

}  // namespace

GuardedCall guarded_call(const std::function<void()>& call) {
    // Every time: a plug-in may have set a filter of its own.
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = ::SetUnhandledExceptionFilter(on_unhandled_exception);
    if (!g.installed) {
        g.previous = previous;
        g.installed = true;
    }
    char marker = 0;
    g.stack = reinterpret_cast<std::uintptr_t>(&marker);
    g.thread = ::GetCurrentThreadId();
    g.aborted = false;
    const auto previous_abort = ::signal(SIGABRT, on_abort);
    if (_setjmp(g.resume, nullptr) == 0) {
        g.active = true;
        call();
        g.active = false;
        ::signal(SIGABRT, previous_abort);
        return {};
    }
    ::signal(SIGABRT, previous_abort);
    return what_escaped();
}
