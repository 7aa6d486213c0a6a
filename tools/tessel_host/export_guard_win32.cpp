// The guard: the export is called from a frame with an exception filter of its own (what
// Visual C++ writes as __try/__except, spelt here in the assembler's SEH directives, as the
// MinGW-w64 start-up code spells its own), so whatever no frame of the plug-in handles ends
// there: the dispatcher unwinds the plug-in's frames and the call returns the exception's code.
// An abort raises SIGABRT on the aborting thread, which jumps straight back.
#include "tools/tessel_host/export_guard_win32.h"

#include "tools/tessel_host/check_report.h"

#include <windows.h>

#include <setjmp.h>
#include <signal.h>
#include <cstdio>

extern "C" {

// Calls fn(argument) inside the guarded range. Whether it returned, the filter says: where the
// handler continues, the exception's code is not to be had (Wine passes no value on).
void tessel_guarded_invoke(void* argument, void (*fn)(void*));

// The filter of the guarded range: takes every exception that reaches it.
__attribute__((used)) LONG tessel_guard_filter(EXCEPTION_POINTERS* e, void* frame);

}  // extern "C"

// The scope table's one entry: the range from 1 to 2, its filter, and 2 as where the handler
// continues. The stack: 32 bytes of shadow space for the callee, 8 to keep it 16-byte aligned.
asm(R"(
    .text
    .globl tessel_guarded_invoke
    .def tessel_guarded_invoke; .scl 2; .type 32; .endef
    .seh_proc tessel_guarded_invoke
tessel_guarded_invoke:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva 1f, 2f, tessel_guard_filter, 2f
    .text
1:
    call *%rdx
    nop
2:
    addq $40, %rsp
    ret
    .seh_endproc
)");

namespace {

struct Guard {
    jmp_buf resume;  // for an abort
    DWORD thread = 0;
    volatile bool active = false;
    volatile bool caught = false;
    EXCEPTION_RECORD record{};
};

Guard g;

bool guarding_this_thread() {
    return g.active && ::GetCurrentThreadId() == g.thread;
}

void on_abort(int) {
    if (guarding_this_thread()) {
        g.active = false;
        longjmp(g.resume, 1);
    }
    ::_exit(3);  // what abort does once the signal returns
}

void call_function(void* call) {
    (*static_cast<const std::function<void()>*>(call))();
}

std::string module_offset(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
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
    const DWORD code = g.record.ExceptionCode;
    GuardedCall r;
    r.returned = false;
    r.code = code;
    r.what = exception_kind(code);
    if (code == EXCEPTION_ACCESS_VIOLATION && g.record.NumberParameters >= 2) {
        r.what += " (" +
                  access_violation_detail(g.record.ExceptionInformation[0],
                                          g.record.ExceptionInformation[1]) +
                  ")";
    }
    if (code >= 0xC0000000 && code != 0xE06D7363) {  // raised by the processor, where it faulted
        r.what += module_offset(g.record.ExceptionAddress);
    }
    return r;
}

}  // namespace

LONG tessel_guard_filter(EXCEPTION_POINTERS* e, void*) {
    g.record = *e->ExceptionRecord;
    g.caught = true;
    return EXCEPTION_EXECUTE_HANDLER;
}

GuardedCall guarded_call(const std::function<void()>& call) {
    g.thread = ::GetCurrentThreadId();
    const auto previous_abort = ::signal(SIGABRT, on_abort);
    if (_setjmp(g.resume, nullptr) != 0) {
        ::signal(SIGABRT, previous_abort);
        GuardedCall r;
        r.returned = false;
        r.what =
            "an abort (std::terminate: an exception reached a noexcept function or left a "
            "thread, or abort() was called)";
        return r;
    }
    g.caught = false;
    g.active = true;
    tessel_guarded_invoke(const_cast<std::function<void()>*>(&call), call_function);
    g.active = false;
    ::signal(SIGABRT, previous_abort);
    return g.caught ? what_escaped() : GuardedCall{};
}
