// `tessel-host --check`: the plug-in loaded as the host loads it and put through what the host
// does with it, each finding reported as one line that says what is wrong and what to do.
// The load part serves the host emulator's runs too, so a DLL it refuses is explained alike.
#pragma once

#include "tools/common/plugin_binding_win32.h"
#include "tools/tessel_host/check_report.h"
#include "tools/tessel_host/export_guard_win32.h"

#include <cstdint>
#include <string>

// Loads the DLL at `path` and binds it; `shown` names it in the findings (the original, when
// the path is a shadow copy). On refusal the findings say why and nothing is left loaded,
// except a DLL whose version query failed (a broken DLL is not unloaded).
bool plugin_load_checked(const std::string& path, const std::string& shown, PluginBinding& plugin,
                         CheckReport& report);

// A guarded call that did not return, as an error: the export, what escaped, what to do.
// `when` is added after the kind: " in frame 12".
void report_escape(CheckReport& report, const char* export_name, const GuardedCall& call,
                   const std::string& when);

struct CheckPlan {
    std::uint64_t frames = 600;  // Updates timed, of the stress scenario
    int cycles = 20;             // Init/Shutdown cycles watched for growth
};

// The whole check; the exit code: 0 when the plug-in is ready, 1 otherwise.
int plugin_check(const std::string& path, const CheckPlan& plan, CheckReport& report);
