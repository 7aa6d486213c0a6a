// Test support on Windows: this process's monitor window, what its client area shows, and
// waiting with a deadline for things that happen on the plug-in's own thread.
#pragma once

#include <windows.h>

#include "plugin/monitor/monitor_window.h"

#include <cstdint>
#include <vector>

// The monitor window of the given process (this one by default), or null. Test programs run
// side by side on one screen, so windows of other processes are passed over.
HWND monitor_window_find(DWORD process_id = ::GetCurrentProcessId());

// How long the monitor window may take to open after Init or to close after Shutdown.
inline constexpr int kWindowWaitMs = 5000;

// Calls `done` every few milliseconds until it returns true or `timeout_ms` have passed.
template <typename Done>
bool wait_until(int timeout_ms, Done done) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (!done()) {
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(10);
    }
    return true;
}

// The client area as the window last drew it: 0xRRGGBB per pixel, rows from the top.
struct ClientPixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> rgb;

    std::uint32_t at(int x, int y) const { return rgb[static_cast<std::size_t>(y * width + x)]; }
};
ClientPixels client_pixels(HWND window);

// A thread of this process watched from its id, opened at once; a thread that cannot be opened
// never counts as ended, so a test proves an end only by seeing it.
struct ThreadWatch {
    HANDLE handle = nullptr;
    explicit ThreadWatch(DWORD thread_id);
    ~ThreadWatch();
    ThreadWatch(const ThreadWatch&) = delete;
    ThreadWatch& operator=(const ThreadWatch&) = delete;

    bool ends_within(int timeout_ms) const;
};
