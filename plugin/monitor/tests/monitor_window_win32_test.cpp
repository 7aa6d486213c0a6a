// The monitor window as a host and its user meet it: opened by Init, repainted by its timer,
// closed by hand or by Shutdown, and never in the way of a host that leaves without Shutdown.
#include "testing/monitor_window_win32.h"
#include "plugin/monitor/frame_listing.h"
#include "testing/plugin_under_test_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>

namespace {

constexpr int kAppearMs = 5000;
constexpr int kRepaintMs = 3000;  // several timer periods
constexpr int kPromptMs = 1000;
constexpr int kHostMs = 5000;       // a whole Wine process: start, open the window, exit
constexpr int kScreenWidth = 1920;  // the sandbox's screen
constexpr int kFirstLineTop = static_cast<int>(kListingFirstLineY);
constexpr int kLineHeight = static_cast<int>(kListingLineHeight);
constexpr int kListedLines = static_cast<int>(kListingMaxLines);
constexpr const char* kExitHostName = "exit_without_shutdown_host.exe";

template <typename Fn>
long long milliseconds_for(Fn fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

bool is_dark(std::uint32_t rgb) {
    return (rgb >> 16 & 0xFF) < 0x80 && (rgb >> 8 & 0xFF) < 0x80 && (rgb & 0xFF) < 0x80;
}

// Rows [top, bottom), cut to what the client area shows.
template <typename Test>
bool any_pixel(const ClientPixels& p, int top, int bottom, Test test) {
    for (int y = std::max(top, 0); y < std::min(bottom, p.height); ++y) {
        for (int x = 0; x < p.width; ++x) {
            if (test(p.at(x, y))) {
                return true;
            }
        }
    }
    return false;
}

bool header_shown(const ClientPixels& p) {
    return any_pixel(p, 0, kFirstLineTop, is_dark);
}

int line_top(int line) {
    return kFirstLineTop + kLineHeight * (line - 1);
}

// Record lines with text, counted from the first until one is blank.
int lines_shown(const ClientPixels& p) {
    int lines = 0;
    while (line_top(lines + 1) < p.height &&
           any_pixel(p, line_top(lines + 1), line_top(lines + 2), is_dark)) {
        ++lines;
    }
    return lines;
}

bool only_background(const ClientPixels& p, int top, int bottom) {
    return !any_pixel(p, top, bottom, [](std::uint32_t rgb) { return rgb != kMonitorBackground; });
}

StreamBuilder frame_of(int records) {
    StreamBuilder b;
    for (int i = 0; i < records; ++i) {
        b.doubles("Aircraft.Velocity", {1.0 * i, 2.0, 3.0});
    }
    return b;
}

struct MonitorWindow : ::testing::Test {
    WinsockSession winsock;  // the host's, for the broadcasts that Update sends
    PluginBinding plugin = plugin_load();
    bool running = false;

    void SetUp() override { ASSERT_NE(plugin.shutdown, nullptr) << "could not load the plug-in"; }
    void TearDown() override {
        if (running) {
            plugin.shutdown();
        }
        plugin_unbind(plugin);
    }

    HWND start() {
        running = plugin.init(nullptr);
        HWND window = nullptr;
        wait_until(kAppearMs, [&] {
            window = monitor_window_find();
            return window != nullptr && ::IsWindowVisible(window);
        });
        return window;
    }
    long long stop() {
        running = false;
        return milliseconds_for(plugin.shutdown);
    }
    // Waits for a repaint whose picture passes `shows`, and gives that picture.
    template <typename Shows>
    ClientPixels repaint_showing(HWND window, Shows shows) {
        ClientPixels p;
        wait_until(kRepaintMs, [&] { return shows(p = client_pixels(window)); });
        return p;
    }
};

}  // namespace

TEST_F(MonitorWindow, InitOpensTheVisibleWindowOnAThreadOfThePlugin) {
    const HWND window = start();
    ASSERT_NE(window, nullptr) << "no visible window of class " << kMonitorClassName << " titled "
                               << kMonitorTitle;
    EXPECT_NE(::GetWindowThreadProcessId(window, nullptr), ::GetCurrentThreadId());
}

TEST_F(MonitorWindow, WindowIsDockedAtTheTopRightOfA1920PixelScreen) {
    ASSERT_EQ(::GetSystemMetrics(SM_CXSCREEN), kScreenWidth);
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    RECT r = {};
    // Wine reports the new window at (0, 0) for a moment before it is placed.
    const bool placed = wait_until(kAppearMs, [&] {
        ::GetWindowRect(window, &r);
        return r.left == kScreenWidth - kMonitorWidth && r.top == 0 && r.right == kScreenWidth &&
               r.bottom == kMonitorHeight;
    });
    EXPECT_TRUE(placed) << r.left << "," << r.top << " to " << r.right << "," << r.bottom;
}

TEST_F(MonitorWindow, FirstRepaintShowsOnlyTheHeaderOnTheBackground) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    const ClientPixels p = repaint_showing(window, header_shown);
    ASSERT_TRUE(header_shown(p));
    EXPECT_TRUE(only_background(p, kFirstLineTop, p.height));
}

TEST_F(MonitorWindow, EveryTimerRepaintRedrawsTheHeaderWithoutAnyFrame) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    const ClientPixels first = repaint_showing(window, header_shown);
    auto header_changed = [&](const ClientPixels& p) {
        return p.width == first.width &&
               !std::equal(p.rgb.begin(), p.rgb.begin() + first.width * kFirstLineTop,
                           first.rgb.begin());
    };
    EXPECT_TRUE(header_changed(repaint_showing(window, header_changed)))
        << "the paint counter in the header never moved";
}

TEST_F(MonitorWindow, TimerRepaintShowsALinePerPublishedRecordAndNothingBelow) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    repaint_showing(window, header_shown);
    send_frame(plugin, frame_of(5));
    const ClientPixels p =
        repaint_showing(window, [](const ClientPixels& p) { return lines_shown(p) == 5; });
    ASSERT_EQ(lines_shown(p), 5);
    EXPECT_TRUE(header_shown(p));
    EXPECT_TRUE(only_background(p, line_top(6), p.height));
}

// The client area of the window as placed is some 1053 pixels high, so the last lines fall
// outside it: the window is made larger than the bitmap.
TEST_F(MonitorWindow, EnlargedWindowShowsSixtySevenLinesOfAHundredRecords) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    send_frame(plugin, frame_of(100));
    ::SetWindowPos(window, nullptr, 1100, 0, 700, 1200, SWP_NOZORDER | SWP_NOACTIVATE);
    const ClientPixels p = repaint_showing(
        window, [](const ClientPixels& p) { return lines_shown(p) >= kListedLines; });
    ASSERT_GE(p.height, kMonitorHeight);
    EXPECT_EQ(lines_shown(p), kListedLines);
}

TEST_F(MonitorWindow, ClosingTheWindowEndsItsThreadWhileUpdateGoesOn) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    const ThreadWatch thread(::GetWindowThreadProcessId(window, nullptr));
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    const StreamBuilder frame = frame_of(3);
    bool updates_handled = true;
    const bool ended = wait_until(kPromptMs, [&] {
        const UpdateResult r = send_frame(plugin, frame);
        updates_handled = updates_handled && r.returned && r.out_a == 0 && r.out_b == 0;
        return thread.ends_within(0);
    });
    EXPECT_TRUE(ended);
    EXPECT_TRUE(updates_handled);
    EXPECT_EQ(monitor_window_find(), nullptr);
}

TEST_F(MonitorWindow, ShutdownAfterTheWindowWasClosedReturnsAtOnce) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    const ThreadWatch thread(::GetWindowThreadProcessId(window, nullptr));
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(thread.ends_within(kPromptMs));
    send_frame(plugin, frame_of(3));
    EXPECT_LT(stop(), kPromptMs);
}

TEST_F(MonitorWindow, InitShutdownTwiceOpensAndPromptlyRemovesTheWindowEachTime) {
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        const HWND window = start();
        ASSERT_NE(window, nullptr);
        const ThreadWatch thread(::GetWindowThreadProcessId(window, nullptr));
        EXPECT_LT(stop(), kPromptMs);
        EXPECT_TRUE(thread.ends_within(0));
        EXPECT_EQ(monitor_window_find(), nullptr);
    }
}

namespace {

// A host whose own code, running on the monitor's thread, calls Shutdown: a window procedure
// put in front of the monitor's that shuts the plug-in down on one message.
constexpr UINT kShutdownHere = WM_APP + 1;
PluginShutdownFn g_shutdown_here = nullptr;
WNDPROC g_monitor_proc = nullptr;

LRESULT CALLBACK shutting_down_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kShutdownHere) {
        g_shutdown_here();
        return 1;
    }
    return ::CallWindowProcA(g_monitor_proc, window, message, wparam, lparam);
}

}  // namespace

// The new Init comes while the old thread is still ending: it waits for it, so the old
// thread's teardown touches nothing of the new window, and the old thread's hold on the module
// ends with it.
TEST_F(MonitorWindow, ShutdownOnTheWindowThreadEndsItThereAndInitStartsAnew) {
    const HWND window = start();
    ASSERT_NE(window, nullptr);
    const ThreadWatch thread(::GetWindowThreadProcessId(window, nullptr));
    g_shutdown_here = plugin.shutdown;
    g_monitor_proc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&shutting_down_proc)));
    ASSERT_NE(g_monitor_proc, nullptr);
    DWORD_PTR answer = 0;
    ASSERT_NE(::SendMessageTimeoutA(window, kShutdownHere, 0, 0, SMTO_BLOCK, kPromptMs, &answer),
              0);
    running = false;
    EXPECT_EQ(answer, 1U);
    const HWND renewed = start();
    EXPECT_TRUE(thread.ends_within(0)) << "Init did not wait for the old thread to end";
    ASSERT_NE(renewed, nullptr) << "no window after a new Init";
    send_frame(plugin, frame_of(5));
    const ClientPixels p =
        repaint_showing(renewed, [](const ClientPixels& p) { return lines_shown(p) == 5; });
    EXPECT_EQ(lines_shown(p), 5);
    EXPECT_LT(stop(), kPromptMs);
    plugin_unbind(plugin);
    EXPECT_TRUE(wait_until(kPromptMs, [] { return ::GetModuleHandleA(kPluginDllName) == nullptr; }))
        << "the plug-in stays loaded";
}

// The delays catch the thread starting GDI+, registering its class, creating its window or
// placing it.
TEST_F(MonitorWindow, ShutdownSoonAfterInitIsPromptAndLeavesNoWindow) {
    for (const DWORD delay_ms : {0u, 1u, 5u, 20u, 50u}) {
        SCOPED_TRACE(delay_ms);
        ASSERT_TRUE(plugin.init(nullptr));
        ::Sleep(delay_ms);
        EXPECT_LT(milliseconds_for(plugin.shutdown), kPromptMs);
        EXPECT_EQ(monitor_window_find(), nullptr);
    }
}

namespace {

std::atomic<DWORD> g_refused_on_thread{0};

LRESULT CALLBACK refuse_creation(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        g_refused_on_thread.store(::GetCurrentThreadId());
        return FALSE;
    }
    return ::DefWindowProcA(window, message, wparam, lparam);
}

// Takes the monitor's class name in the plug-in's module first, so its registration fails and
// its window cannot be created.
struct RefusingWindowClass {
    HINSTANCE module;
    explicit RefusingWindowClass(HINSTANCE m) : module(m) {
        // An earlier load of the plug-in in this process may have left its class behind.
        ::UnregisterClassA(kMonitorClassName, module);
        WNDCLASSA c = {};
        c.lpfnWndProc = refuse_creation;
        c.hInstance = module;
        c.lpszClassName = kMonitorClassName;
        ::RegisterClassA(&c);
    }
    ~RefusingWindowClass() { ::UnregisterClassA(kMonitorClassName, module); }
};

}  // namespace

TEST_F(MonitorWindow, FailedWindowCreationEndsTheThreadByItself) {
    const RefusingWindowClass refusing(plugin.module);
    g_refused_on_thread.store(0);
    ASSERT_TRUE(plugin.init(nullptr));
    running = true;
    ASSERT_TRUE(wait_until(kAppearMs, [] { return g_refused_on_thread.load() != 0; }));
    EXPECT_TRUE(ThreadWatch(g_refused_on_thread.load()).ends_within(kPromptMs));
    EXPECT_LT(stop(), kPromptMs);
}

namespace {

// The host's exit code; STILL_ACTIVE (259) when it had not ended by the deadline.
DWORD run_exit_host(const std::string& arguments) {
    std::string command = "\"" + path_beside_this_program(kExitHostName) + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return 0;
    }
    ::WaitForSingleObject(process.hProcess, kHostMs);
    DWORD exit_code = 0;
    ::GetExitCodeProcess(process.hProcess, &exit_code);
    ::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return exit_code;
}

}  // namespace

TEST(HostWithoutShutdown, ReturningFromMainWithTheWindowOpenEndsWithItsExitCode) {
    EXPECT_EQ(run_exit_host("37"), 37u);
}

TEST(HostWithoutShutdown, UnloadingThenReturningFromMainEndsWithItsExitCode) {
    EXPECT_EQ(run_exit_host("37 unload"), 37u);
}
