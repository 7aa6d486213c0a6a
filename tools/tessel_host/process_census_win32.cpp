// The census: a tool-help snapshot for threads, the window lists for windows, the system's
// handle list for handles and a walk of every heap for the bytes in use.
#include "tools/tessel_host/process_census_win32.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

// The layout the system fills in for kSystemExtendedHandleInformation.
struct HandleEntry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT creator_back_trace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};

struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

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

std::vector<DWORD> census_threads() {
    std::vector<DWORD> ids;
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    }
    ::CloseHandle(snapshot);
    std::sort(ids.begin(), ids.end());
    return ids;
}

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

long census_handles() {
    const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<char> buffer(1 << 16);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) ==
           kStatusInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    long mine = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) {
        mine += list->entries[i].process_id == ::GetCurrentProcessId() ? 1 : 0;
    }
    return mine;
}

// Exact where the working set is not: freed memory stays in the working set.
std::size_t census_heap_bytes() {
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(64, heaps);
    std::size_t in_use = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        PROCESS_HEAP_ENTRY entry = {};
        ::HeapLock(heaps[i]);
        while (::HeapWalk(heaps[i], &entry)) {
            in_use += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? entry.cbData : 0;
        }
        ::HeapUnlock(heaps[i]);
    }
    return in_use;
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
