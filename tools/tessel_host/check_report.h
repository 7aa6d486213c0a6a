// What `tessel-host --check` says: one line per finding, each saying what is wrong and what to
// do, written as it is found, then a last line with the verdict.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

enum class Severity { Passed, Warning, Error };

struct CheckReport {
    std::function<void(Severity severity, const std::string& line)> write;
    int errors = 0;
    int warnings = 0;
};

// Writes "error: TEXT", "warning: TEXT" or "ok: TEXT"; the writer adds who says it.
void report(CheckReport& r, Severity severity, const std::string& text);

// "check: PLUGIN is ready", or "check: PLUGIN is not ready: 2 errors".
std::string check_verdict(const std::string& plugin, const CheckReport& r);

// What an exception code means, as "an access violation", "a C++ exception", ...
std::string exception_kind(std::uint32_t code);

// For an access violation: "reading address 0x0" from the record's first two parameters.
std::string access_violation_detail(std::uint64_t operation, std::uint64_t address);
