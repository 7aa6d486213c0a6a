// The monitor's thread: window class, window, placement, repaint timer and message loop.
#include "plugin/monitor/window_thread_win32.h"

#include "plugin/monitor/frame_painter_win32.h"
#include "plugin/monitor/monitor_window.h"

#include <atomic>

namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr UINT_PTR kRepaintTimerId = 0;
constexpr UINT kRepaintPeriodMs = 500;
// How long a start waits for a thread that a stop on that thread itself left ending: its
// teardown is a window's destruction and GDI+'s shutdown, far less than this.
constexpr DWORD kEndingThreadWaitMs = 2000;

// A system thread rather than std::thread: the threading runtime linked into the DLL keeps two
// handles per thread it ever made, which unloading the DLL would leak on every load and unload,
// and a wait cannot throw into the host.
struct WindowThreadState {
    HANDLE thread = nullptr;  // from start until stop has waited for it
    DWORD thread_id = 0;
    // A thread stopped from its own window procedure, still finishing its teardown, which uses
    // the state below: the next start waits for it to end first.
    HANDLE ending = nullptr;
    DWORD ending_id = 0;
    HINSTANCE module = nullptr;
    // Written by the window thread, read by the host's thread in window_thread_stop.
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> stop_requested{false};
    FrameExchange* exchange = nullptr;
    bool close_requested = false;  // window thread only
    FrameListing listing;          // window thread only; 55 kB, kept off the thread's stack
};

WindowThreadState g_window;

LRESULT CALLBACK monitor_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_DESTROY: ::PostQuitMessage(0); return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            const HDC dc = ::BeginPaint(window, &paint);
            frame_listing_take(g_window.listing, *g_window.exchange);
            frame_painter_paint(dc, g_window.listing);
            ::EndPaint(window, &paint);
            return 0;
        }
        case WM_CLOSE: g_window.close_requested = true; break;
        case WM_TIMER: ::InvalidateRect(window, nullptr, FALSE); return 0;
        default: break;
    }
    return ::DefWindowProcA(window, message, wparam, lparam);
}

void register_window_class(HINSTANCE module) {
    WNDCLASSA window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = monitor_window_proc;
    window_class.hInstance = module;
    window_class.hIcon = ::LoadIconA(nullptr, IDI_ASTERISK);
    window_class.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BACKGROUND + 1);
    window_class.lpszClassName = kMonitorClassName;
    ::RegisterClassA(&window_class);  // fails harmlessly when an earlier start registered it
}

// Docks the window at the top right of the primary screen, on top and visible.
void place_window(HWND window) {
    const int screen_width = ::GetSystemMetrics(SM_CXSCREEN);
    ::SetWindowPos(window, HWND_TOP, screen_width - kMonitorWidth, 0, kMonitorWidth, kMonitorHeight,
                   SWP_SHOWWINDOW);
}

// Ends on a quit request posted to the window, on closing it, on an error from GetMessageA (the
// window is gone) and on the stop flag. The flag covers a stop that came before the window
// existed, and a quit request that a moving or sizing loop took and re-posted to the thread,
// where the window filter does not see it: the next timer message brings the loop round to it.
void run_message_loop() {
    MSG message;
    while (!g_window.close_requested && !g_window.stop_requested.load()) {
        const BOOL result = ::GetMessageA(&message, g_window.window.load(), 0, 0);
        if (result == 0 || result == -1) {
            return;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
}

HWND create_window(HINSTANCE module) {
    return ::CreateWindowExA(0,                  // extended style
                             kMonitorClassName,  // window class
                             kMonitorTitle,      // title
                             kWindowStyle,       // style
                             CW_USEDEFAULT,      // x: placed once created
                             0,                  // y
                             kMonitorWidth,      // width
                             kMonitorHeight,     // height
                             nullptr,            // parent window
                             nullptr,            // menu
                             module,             // instance that owns the class
                             nullptr);           // creation parameter
}

void run_window_thread(HINSTANCE module) {
    const ULONG_PTR gdiplus = frame_painter_startup();
    register_window_class(module);
    g_window.close_requested = false;
    // A Shutdown that came while we were starting wants no window: none flashes up, and the
    // host does not wait for one to be created, shown and destroyed.
    const HWND window = g_window.stop_requested.load() ? nullptr : create_window(module);
    // Published before the loop looks at the stop flag: a stop that saw no window is then seen
    // by the loop, and one that saw the window posts its quit request to it.
    g_window.window.store(window);
    if (window != nullptr) {
        place_window(window);
        ::SetTimer(window, kRepaintTimerId, kRepaintPeriodMs, nullptr);
        run_message_loop();
        ::DestroyWindow(window);  // fails harmlessly when closing by hand destroyed it already
    }
    g_window.window.store(nullptr);
    frame_painter_shutdown(gdiplus);
}

// The thread holds a reference on our own module, so that a host that unloads us without
// Shutdown, or while a thread stopped from its own window procedure is still ending, cannot
// unmap the code it runs. It drops that reference as its very last act, in the one call that
// does not return into the module.
DWORD WINAPI window_thread_main(LPVOID pinned_module) {
    run_window_thread(g_window.module);
    if (pinned_module != nullptr) {
        ::FreeLibraryAndExitThread(static_cast<HMODULE>(pinned_module), 0);
    }
    return 0;
}

// True once no earlier thread is still ending. A start on that very thread (the host's window
// procedure calling Shutdown, then Init) cannot wait for it, and fails.
bool wait_for_ending_thread() {
    if (g_window.ending == nullptr) {
        return true;
    }
    if (::GetCurrentThreadId() == g_window.ending_id ||
        ::WaitForSingleObject(g_window.ending, kEndingThreadWaitMs) != WAIT_OBJECT_0) {
        return false;
    }
    window_thread_release();
    return true;
}

}  // namespace

bool window_thread_start(HINSTANCE module, FrameExchange& exchange) {
    if (g_window.thread != nullptr || !wait_for_ending_thread()) {
        return false;
    }
    HMODULE pinned = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCSTR>(&run_window_thread), &pinned);
    g_window.module = module;
    g_window.exchange = &exchange;
    g_window.stop_requested.store(false);
    g_window.thread = ::CreateThread(nullptr,               // default security
                                     0,                     // default stack size
                                     window_thread_main,    // start routine
                                     pinned,                // its argument
                                     0,                     // runs at once
                                     &g_window.thread_id);  // its id
    if (g_window.thread == nullptr) {
        if (pinned != nullptr) {
            ::FreeLibrary(pinned);
        }
        return false;
    }
    return true;
}

void window_thread_stop() noexcept {
    if (g_window.thread == nullptr) {
        return;
    }
    g_window.stop_requested.store(true);
    if (const HWND window = g_window.window.load()) {
        ::PostMessageA(window, WM_QUIT, 0, 0);
    }
    // Called on the window thread itself (from a window procedure of the host's, say), a wait
    // would last for ever: the loop ends at the quit request once this call returns, and the
    // thread is kept as the one ending, for the next start to wait for.
    if (::GetCurrentThreadId() == g_window.thread_id) {
        g_window.ending = g_window.thread;
        g_window.ending_id = g_window.thread_id;
    } else {
        ::WaitForSingleObject(g_window.thread, INFINITE);
        ::CloseHandle(g_window.thread);
    }
    g_window.thread = nullptr;
    g_window.thread_id = 0;
}

void window_thread_release() noexcept {
    if (g_window.ending != nullptr) {
        ::CloseHandle(g_window.ending);
        g_window.ending = nullptr;
        g_window.ending_id = 0;
    }
}
