// Test support on Windows: this process's handles, threads and heap bytes as the host emulator's
// check counts them, and its working set from the memory counters.
#include "testing/process_usage_win32.h"

#include "tools/common/process_resources_win32.h"

#include <psapi.h>

namespace {

std::size_t working_set() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

}  // namespace

ProcessUsage process_usage() {
    return {process_handle_count(), process_thread_count(), working_set(),
            process_heap_bytes_in_use()};
}
