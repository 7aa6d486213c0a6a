// The census of windows: the top-level list and the message-only list, less the input method
// windows the system adds.
#include "tools/tessel_host/process_census_win32.h"

#include <algorithm>
#include <cstring>

namespace {

// The input method windows the system gives every thread that makes a window; they are not
// the plug-in's to destroy.
bool input_method_window(HWND window) {
    char class_name[32] = {};
    ::GetClassNameA(window, class_name, sizeof class_name);
    return std::strcmp(class_name, "IME") == 0 || std::strcmp(class_name, "MSCTFIME UI") == 0;
}

BOOL CALLBACK note_window(HWND window, LPARAM windows) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId() && !input_method_window(window)) {
        reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    }
    return TRUE;
}

}  // namespace

std::vector<HWND> census_windows() {
    std::vector<HWND> windows;
    ::EnumWindows(note_window, reinterpret_cast<LPARAM>(&windows));
    for (HWND w = ::FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w != nullptr;
         w = ::FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr)) {
        note_window(w, reinterpret_cast<LPARAM>(&windows));
    }
    std::sort(windows.begin(), windows.end());
    return windows;
}

// InternalGetWindowText sends no message, so a window whose thread hangs cannot stop the check.
std::string window_description(HWND window) {
    char class_name[128] = {};
    ::GetClassNameA(window, class_name, sizeof class_name);
    wchar_t wide[128] = {};
    const int length = ::InternalGetWindowText(window, wide, 128);
    char title[384] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, wide, length, title, sizeof title - 1, nullptr, nullptr);
    return std::string("class \"") + class_name + "\", title \"" + title + "\"";
}
