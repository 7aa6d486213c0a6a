// Test support on Windows: finding the monitor window and reading back its client area.
#include "testing/monitor_window_win32.h"

#include <cstring>

namespace {

struct WindowSearch {
    DWORD process_id;
    HWND found;
};

BOOL CALLBACK match_monitor_window(HWND window, LPARAM search_address) {
    auto& search = *reinterpret_cast<WindowSearch*>(search_address);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    char class_name[64] = {};
    char title[64] = {};
    ::GetClassNameA(window, class_name, sizeof class_name);
    ::GetWindowTextA(window, title, sizeof title);
    if (owner == search.process_id && std::strcmp(class_name, kMonitorClassName) == 0 &&
        std::strcmp(title, kMonitorTitle) == 0) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

// The window's client area copied into memory: the window's device context, a memory one and
// the DIB selected into it, released however the read ends (the DIB selected out first, since a
// selected bitmap cannot be deleted).
struct ClientCopy {
    HWND window = nullptr;
    HDC window_dc = nullptr;
    HDC memory_dc = nullptr;
    HBITMAP dib = nullptr;
    HGDIOBJ previous = nullptr;

    ClientCopy() = default;
    ClientCopy(const ClientCopy&) = delete;
    ClientCopy& operator=(const ClientCopy&) = delete;
    ~ClientCopy() {
        if (previous != nullptr) {
            ::SelectObject(memory_dc, previous);
        }
        if (dib != nullptr) {
            ::DeleteObject(dib);
        }
        if (memory_dc != nullptr) {
            ::DeleteDC(memory_dc);
        }
        if (window_dc != nullptr) {
            ::ReleaseDC(window, window_dc);
        }
    }
};

}  // namespace

HWND monitor_window_find(DWORD process_id) {
    WindowSearch search{process_id, nullptr};
    ::EnumWindows(match_monitor_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

ClientPixels client_pixels(HWND window) {
    ClientPixels pixels;
    RECT client = {};
    ::GetClientRect(window, &client);
    pixels.width = client.right - client.left;
    pixels.height = client.bottom - client.top;
    if (pixels.width <= 0 || pixels.height <= 0) {
        return ClientPixels{};
    }

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = pixels.width;
    info.bmiHeader.biHeight = -pixels.height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    ClientCopy copy;
    copy.window = window;
    copy.window_dc = ::GetDC(window);
    copy.memory_dc = ::CreateCompatibleDC(copy.window_dc);
    copy.dib = ::CreateDIBSection(copy.memory_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (copy.window_dc == nullptr || copy.memory_dc == nullptr || bits == nullptr) {
        return ClientPixels{};  // a window destroyed meanwhile shows nothing
    }
    copy.previous = ::SelectObject(copy.memory_dc, copy.dib);
    ::BitBlt(copy.memory_dc, 0, 0, pixels.width, pixels.height, copy.window_dc, 0, 0, SRCCOPY);
    ::GdiFlush();

    const auto* source = static_cast<const std::uint32_t*>(bits);
    pixels.rgb.assign(source, source + pixels.width * pixels.height);
    for (std::uint32_t& p : pixels.rgb) {
        p &= 0xFFFFFF;  // a 32-bit DIB keeps blue in the low byte, as 0xRRGGBB does
    }
    return pixels;
}

ThreadWatch::ThreadWatch(DWORD thread_id) : handle(::OpenThread(SYNCHRONIZE, FALSE, thread_id)) {}

ThreadWatch::~ThreadWatch() {
    if (handle != nullptr) {
        ::CloseHandle(handle);
    }
}

// A thread that could not be opened proves nothing: it does not count as ended.
bool ThreadWatch::ends_within(int timeout_ms) const {
    return handle != nullptr &&
           ::WaitForSingleObject(handle, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}
