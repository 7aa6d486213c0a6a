// Test support on Windows: what this process holds (handles, threads, working set), read in
// ways that work under Wine too, where GetProcessHandleCount reports nothing.
#pragma once

#include <windows.h>

#include <cstddef>

struct ProcessUsage {
    long handles;  // -1 when the system will not list them
    long threads;
    std::size_t working_set;  // bytes
    std::size_t heap_in_use;  // bytes in allocated blocks of every heap of the process
};

ProcessUsage process_usage();
