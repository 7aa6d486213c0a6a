// The windows this process holds (top-level and message-only), for the check's before-and-after
// comparisons; its threads, handles and heap bytes come from tools/common.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

std::vector<HWND> census_windows();  // sorted

// "class \"X\", title \"Y\"".
std::string window_description(HWND window);
