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
    const HDC window_dc = ::GetDC(window);
    const HDC memory_dc = ::CreateCompatibleDC(window_dc);
    const HBITMAP dib = ::CreateDIBSection(memory_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = ::SelectObject(memory_dc, dib);
    ::BitBlt(memory_dc, 0, 0, pixels.width, pixels.height, window_dc, 0, 0, SRCCOPY);
    ::GdiFlush();

    const auto* source = static_cast<const std::uint32_t*>(bits);
    pixels.rgb.assign(source, source + pixels.width * pixels.height);
    for (std::uint32_t& p : pixels.rgb) {
        p &= 0xFFFFFF;  // a 32-bit DIB keeps blue in the low byte, as 0xRRGGBB does
    }

    ::SelectObject(memory_dc, previous);
    ::DeleteObject(dib);
    ::DeleteDC(memory_dc);
    ::ReleaseDC(window, window_dc);
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
