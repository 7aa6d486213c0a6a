// The soak and fault driver: a host that runs the plug-in long or through a lost route while
// scripts/checks/soak.sh watches its memory and descriptors from the Linux side, where Wine's
// own counters report nothing. It prints one line per step and ends with PASS or FAIL lines.
//   plugin_soak soak    50000 Updates with the window open, a progress line every 2500
//   plugin_soak route DIR   datagrams before, while and after the broadcast route is gone,
//                           then while loopback crawls; asks for each change with a "need:"
//                           line and waits for the script's answer, a file in DIR
//   plugin_soak cycles  60 cycles of LoadLibrary, Init, 100 Updates, Shutdown, FreeLibrary,
//                       a progress line every 4
// The last line, "result: N failed", tells the script the run came to its end.
#include "testing/broadcast_sockets_win32.h"
#include "testing/monitor_window_win32.h"
#include "testing/plugin_under_test_win32.h"
#include "testing/process_usage_win32.h"
#include "testing/sample_frame.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Long enough for a leak per call or per repaint (two a second) to pass the slack many times.
constexpr int kSoakCalls = 50000;
constexpr int kProgressEvery = 2500;
constexpr int kBaselineCalls = 10000;  // the steady state that the end is held to
constexpr int kDrainEvery = 100;       // keeps the receive queue far below its limit
constexpr int kEmptyFrameEvery = 50;   // frames without records send nothing
constexpr std::size_t kFrameVariants = 16;
constexpr int kRouteFrames = 200;
constexpr int kCrawlFrames = 2000;  // far more than the send queue holds while loopback crawls
// An Update takes some 100 us; one that waits for room in the queue, a datagram's time on the
// crawling link (140 ms).
constexpr ULONGLONG kCrawlBudgetMs = 5000;
constexpr int kQuietMs = 500;
constexpr int kAnswerWaitMs = 10000;
// A leak of one handle per cycle ends 40 above the baseline, far past kHandleSlack.
constexpr int kCycles = 60;
constexpr int kCycleUpdates = 100;
constexpr int kCycleProgressEvery = 4;
constexpr int kCycleBaseline = 20;  // the first cycles may still grow Wine's own caches
// Allocator bookkeeping; a leak of one frame's 100 records per cycle adds far more over 40 cycles.
constexpr std::size_t kCycleHeapSlack = 64 * 1024;
// Wine now and then makes one object of its own late in a run and keeps it; a leak per frame
// or per repaint would add thousands or dozens.
constexpr long kHandleSlack = 2;

int g_failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    g_failures += ok ? 0 : 1;
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool window_answers() {
    DWORD_PTR answer = 0;
    const HWND w = monitor_window_find();
    return w != nullptr &&
           ::SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer) != 0;
}

std::vector<StreamBuilder> frames() {
    std::vector<StreamBuilder> f;
    for (std::uint32_t i = 0; i < kFrameVariants; ++i) {
        f.push_back(sample_frame(100, i));
    }
    return f;
}

bool handled(const UpdateResult& r) {
    return r.returned && r.out_a == 0 && r.out_b == 0;
}

void soak(const PluginBinding& plugin, const DatagramReceiver& receiver) {
    const std::vector<StreamBuilder> input = frames();
    const StreamBuilder without_records;
    check(plugin.init(nullptr) &&
              wait_until(kWindowWaitMs, [] { return monitor_window_find() != nullptr; }),
          "the monitor window opened");
    long frames_with_records = 0;
    long received = 0;
    long mishandled = 0;
    ProcessUsage baseline{};
    for (int call = 1; call <= kSoakCalls; ++call) {
        const bool empty = call % kEmptyFrameEvery == 0;
        const StreamBuilder& frame =
            empty ? without_records : input[static_cast<std::size_t>(call) % kFrameVariants];
        mishandled += handled(send_frame(plugin, frame)) ? 0 : 1;
        frames_with_records += empty ? 0 : 1;
        if (call % kDrainEvery == 0) {
            received += receiver.drain(0);  // what is queued now, without waiting
        }
        if (call % kProgressEvery == 0) {
            const ProcessUsage now = process_usage();
            baseline = call == kBaselineCalls ? now : baseline;
            say("calls " + std::to_string(call) + " handles " + std::to_string(now.handles) +
                " working_set_kb " + std::to_string(now.working_set / 1024));
        }
    }
    received += receiver.drain(kQuietMs);
    const ProcessUsage end = process_usage();
    check(mishandled == 0, "every Update returned with both out values zero (" +
                               std::to_string(mishandled) + " did not)");
    check(received == frames_with_records,
          "one datagram per frame with records: " + std::to_string(frames_with_records) +
              " frames, " + std::to_string(received) + " datagrams");
    check(end.handles <= baseline.handles + kHandleSlack,
          "handles after " + std::to_string(kBaselineCalls) + " calls " +
              std::to_string(baseline.handles) + ", at the end " + std::to_string(end.handles));
    check(window_answers(), "the monitor window still answers");
    plugin.shutdown();
}

// Sends a batch of frames; returns how many datagrams arrived for it.
long send_batch(const PluginBinding& plugin, const DatagramReceiver& receiver,
                const std::vector<StreamBuilder>& input, long& mishandled) {
    for (int i = 0; i < kRouteFrames; ++i) {
        const StreamBuilder& frame = input[static_cast<std::size_t>(i) % kFrameVariants];
        mishandled += handled(send_frame(plugin, frame)) ? 0 : 1;
    }
    return receiver.drain(kQuietMs);
}

// Asks the watching script for a change and waits for the file that says it is made.
bool ask(const std::string& answers, const char* need, const char* done_file) {
    say(std::string("need: ") + need);
    const std::string done = answers + "\\" + done_file;
    for (int waited = 0; waited < kAnswerWaitMs; waited += 10) {
        if (::GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        ::Sleep(10);
    }
    check(false, "no answer from the watching script");
    return false;
}

// The plug-in's socket as "handle/port": the same text later means the socket was kept.
std::string broadcast_socket_seen() {
    const std::vector<BroadcastSocket> sockets = find_broadcast_sockets();
    if (sockets.size() != 1) {
        return std::to_string(sockets.size()) + " broadcast sockets";
    }
    return std::to_string(sockets[0].socket) + "/" + std::to_string(sockets[0].local_port);
}

void route(const PluginBinding& plugin, const DatagramReceiver& receiver,
           const std::string& answers) {
    const std::vector<StreamBuilder> input = frames();
    const std::string all = std::to_string(kRouteFrames);
    long mishandled = 0;
    const long before = send_batch(plugin, receiver, input, mishandled);
    check(before == kRouteFrames, "route up: " + std::to_string(before) + " of " + all);
    const std::string socket = broadcast_socket_seen();
    if (!ask(answers, "route off", "route-off.done")) return;
    const long during = send_batch(plugin, receiver, input, mishandled);
    check(during == 0, "route gone: " + std::to_string(during) + " datagrams arrived");
    check(broadcast_socket_seen() == socket,
          "route gone: the socket is kept (" + socket + ", now " + broadcast_socket_seen() + ")");
    if (!ask(answers, "route on", "route-on.done")) return;
    const long after = send_batch(plugin, receiver, input, mishandled);
    check(after == kRouteFrames, "route back: " + std::to_string(after) + " of " + all);
    // Loopback crawls, so the send queue fills: Update goes on at full speed and drops what
    // finds no room; made fast again, loopback delivers what the queue held.
    if (!ask(answers, "crawl", "crawl.done")) return;
    const ULONGLONG crawl_at = ::GetTickCount64();
    int sent = 0;
    while (sent < kCrawlFrames && ::GetTickCount64() - crawl_at < kCrawlBudgetMs) {
        const StreamBuilder& frame = input[static_cast<std::size_t>(sent++) % kFrameVariants];
        mishandled += handled(send_frame(plugin, frame)) ? 0 : 1;
    }
    const ULONGLONG took = ::GetTickCount64() - crawl_at;
    if (!ask(answers, "fast", "fast.done")) return;
    const long delivered = receiver.drain(kQuietMs);
    check(sent == kCrawlFrames && delivered <= sent / 2,
          "loopback crawling: " + std::to_string(sent) + " Updates in " + std::to_string(took) +
              " ms, " + std::to_string(sent - delivered) + " datagrams dropped");
    const long fast = send_batch(plugin, receiver, input, mishandled);
    check(fast == kRouteFrames, "loopback fast again: " + std::to_string(fast) + " of " + all);
    check(mishandled == 0, "every Update returned with both out values zero (" +
                               std::to_string(mishandled) + " did not)");
}

// What a host does that loads the plug-in for a session and unloads it again, many times in
// one process: every cycle must leave no thread, no window, no handle and no memory behind.
void cycles(const DatagramReceiver& receiver) {
    const std::vector<StreamBuilder> input = frames();
    const long threads_before = process_usage().threads;
    ProcessUsage baseline{};
    int loaded = 0;
    int left_behind = 0;
    long mishandled = 0;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        PluginBinding plugin = plugin_load();
        if (plugin.update == nullptr || !plugin.init(nullptr)) {
            plugin_unbind(plugin);
            continue;
        }
        ++loaded;
        for (int i = 0; i < kCycleUpdates; ++i) {
            const StreamBuilder& frame = input[static_cast<std::size_t>(i) % kFrameVariants];
            mishandled += handled(send_frame(plugin, frame)) ? 0 : 1;
        }
        plugin.shutdown();
        plugin_unbind(plugin);
        receiver.drain(0);
        const ProcessUsage now = process_usage();
        left_behind += monitor_window_find() != nullptr || now.threads > threads_before ? 1 : 0;
        baseline = cycle == kCycleBaseline ? now : baseline;
        if (cycle % kCycleProgressEvery == 0) {
            say("cycles " + std::to_string(cycle) + " handles " + std::to_string(now.handles) +
                " heap_kb " + std::to_string(now.heap_in_use / 1024));
        }
    }
    const ProcessUsage end = process_usage();
    check(loaded == kCycles, "every cycle loaded and started the plug-in (" +
                                 std::to_string(loaded) + " of " + std::to_string(kCycles) + ")");
    check(left_behind == 0, "no window or thread left after a cycle (" +
                                std::to_string(left_behind) + " cycles left one)");
    check(mishandled == 0, "every Update returned with both out values zero (" +
                               std::to_string(mishandled) + " did not)");
    check(end.handles <= baseline.handles + kHandleSlack,
          "handles after " + std::to_string(kCycleBaseline) + " cycles " +
              std::to_string(baseline.handles) + ", at the end " + std::to_string(end.handles));
    check(end.heap_in_use <= baseline.heap_in_use + kCycleHeapSlack,
          "heap in use after " + std::to_string(kCycleBaseline) + " cycles " +
              std::to_string(baseline.heap_in_use / 1024) + " kB, at the end " +
              std::to_string(end.heap_in_use / 1024) + " kB");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (!((mode == "soak" || mode == "cycles") && argc == 2) && !(mode == "route" && argc == 3)) {
        std::fprintf(stderr,
                     "usage: plugin_soak soak | plugin_soak cycles | plugin_soak route DIR\n");
        return 2;
    }
    WinsockSession winsock;
    DatagramReceiver receiver;
    const bool receiving = winsock.started && receiver.bound();
    if (mode == "cycles") {
        check(receiving, "set-up: Winsock and a receiver on port 50010");
        if (receiving) {
            cycles(receiver);
        }
        say("result: " + std::to_string(g_failures) + " failed");
        return g_failures == 0 ? 0 : 1;
    }
    PluginBinding plugin = plugin_load();
    if (!receiving || plugin.update == nullptr) {
        check(false, "set-up: Winsock, a receiver on port 50010 and the plug-in");
    } else if (mode == "soak") {
        soak(plugin, receiver);
    } else {
        route(plugin, receiver, argv[2]);
    }
    plugin_unbind(plugin);
    say("result: " + std::to_string(g_failures) + " failed");
    return g_failures == 0 ? 0 : 1;
}
