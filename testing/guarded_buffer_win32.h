// Test memory that ends at a page without access, so any read past a stream placed at its end
// faults at once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

struct GuardedBuffer {
    std::uint8_t* base = nullptr;
    std::size_t usable = 0;

    explicit GuardedBuffer(std::size_t capacity) {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        usable = (capacity + page - 1) / page * page;
        base = static_cast<std::uint8_t*>(
            ::VirtualAlloc(nullptr, usable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        ::VirtualProtect(base + usable, page, PAGE_NOACCESS, &old);
    }
    ~GuardedBuffer() { ::VirtualFree(base, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    // Copies the bytes so that they end right before the page without access.
    const std::uint8_t* place(const std::vector<std::uint8_t>& bytes) {
        std::uint8_t* at = base + usable - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }
};
