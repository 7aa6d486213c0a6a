// What this process holds, read in ways that work under Wine too, whose GetProcessHandleCount
// says nothing: the host emulator's check and the Windows tests count alike.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

// From the system's handle list; -1 when the system gives none or the list outgrows the bound.
long process_handle_count();

// From a tool-help snapshot: the ids sorted, empty when there is no snapshot; the count -1 then.
std::vector<DWORD> process_thread_ids();
long process_thread_count();

// Bytes in allocated blocks of every heap of the process. Exact where the working set is not:
// freed memory stays in the working set, and a heap that grows once keeps its pages.
std::size_t process_heap_bytes_in_use();
