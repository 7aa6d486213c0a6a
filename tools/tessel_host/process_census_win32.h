// What this process holds, for the check's before-and-after comparisons: its threads, its
// windows (top-level and message-only), its handles and the bytes in use on its heaps. Read in
// ways that work under Wine too, whose GetProcessHandleCount says nothing.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

std::vector<DWORD> census_threads();  // ids, sorted
std::vector<HWND> census_windows();   // sorted

// -1 when the system will not list them.
long census_handles();
std::size_t census_heap_bytes();

// "class \"X\", title \"Y\"".
std::string window_description(HWND window);
