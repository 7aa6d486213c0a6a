// The check's lines.
#include "tools/tessel_host/check_report.h"

#include <cstdio>

void report(CheckReport& r, Severity severity, const std::string& text) {
    const char* tag = severity == Severity::Error     ? "error"
                      : severity == Severity::Warning ? "warning"
                                                      : "ok";
    r.errors += severity == Severity::Error ? 1 : 0;
    r.warnings += severity == Severity::Warning ? 1 : 0;
    if (r.write) r.write(severity, std::string(tag) + ": " + text);
}

std::string check_verdict(const std::string& plugin, const CheckReport& r) {
    if (r.errors == 0) return "check: " + plugin + " is ready";
    return "check: " + plugin + " is not ready: " + std::to_string(r.errors) +
           (r.errors == 1 ? " error" : " errors");
}

std::string exception_kind(std::uint32_t code) {
    switch (code) {
        case 0xC0000005: return "an access violation";
        case 0xC0000006: return "an in-page error";
        case 0xC000001D: return "an illegal instruction";
        case 0xC0000094: return "an integer division by zero";
        case 0xC0000095: return "an integer overflow";
        case 0xC00000FD: return "a stack overflow";
        case 0xC0000409: return "a stack buffer overrun";
        case 0xC0000374: return "a heap corruption";
        case 0x80000003: return "a breakpoint";
        case 0xE06D7363: return "a C++ exception (Visual C++)";
        case 0x20474343: return "a C++ exception";  // GCC's and Clang's on MinGW: "GCC " backwards
        default: {
            char text[48];
            std::snprintf(text, sizeof text, "exception 0x%08X", code);
            return text;
        }
    }
}

std::string access_violation_detail(std::uint64_t operation, std::uint64_t address) {
    const char* what = operation == 0 ? "reading" : operation == 1 ? "writing" : "executing";
    char text[64];
    std::snprintf(text, sizeof text, "%s address 0x%llx", what,
                  static_cast<unsigned long long>(address));
    return text;
}
