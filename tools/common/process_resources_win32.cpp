// This process's handles from the system's handle list, its threads from a tool-help snapshot
// and its heap bytes from a walk of every heap.
#include "tools/common/process_resources_win32.h"

#include <tlhelp32.h>

#include <algorithm>

namespace {

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
constexpr std::size_t kHandleListFirstBytes = std::size_t{1} << 16;
// The list grows while the system is asked for it; past this it is given up rather than chased.
constexpr std::size_t kHandleListMaxBytes = std::size_t{1} << 26;
constexpr DWORD kMaxHeaps = 64;

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

bool list_threads(std::vector<DWORD>& ids) {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more;
         more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
    }
    ::CloseHandle(snapshot);
    std::sort(ids.begin(), ids.end());
    return true;
}

}  // namespace

long process_handle_count() {
    const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    std::vector<char> buffer(kHandleListFirstBytes);
    ULONG needed = 0;
    LONG status;
    while ((status = query(kSystemExtendedHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) ==
           kStatusInfoLengthMismatch) {
        if (buffer.size() * 2 > kHandleListMaxBytes) return -1;
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

std::vector<DWORD> process_thread_ids() {
    std::vector<DWORD> ids;
    list_threads(ids);
    return ids;
}

long process_thread_count() {
    std::vector<DWORD> ids;
    return list_threads(ids) ? static_cast<long>(ids.size()) : -1;
}

std::size_t process_heap_bytes_in_use() {
    HANDLE heaps[kMaxHeaps];
    const DWORD count = ::GetProcessHeaps(kMaxHeaps, heaps);
    std::size_t in_use = 0;
    for (DWORD i = 0; i < count && i < kMaxHeaps; ++i) {
        PROCESS_HEAP_ENTRY entry = {};
        ::HeapLock(heaps[i]);
        while (::HeapWalk(heaps[i], &entry)) {
            in_use += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? entry.cbData : 0;
        }
        ::HeapUnlock(heaps[i]);
    }
    return in_use;
}
