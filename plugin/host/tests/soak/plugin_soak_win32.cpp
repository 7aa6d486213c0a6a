// The soak and fault driver: a host that runs the plug-in long or through a lost route while
// scripts/checks/soak.sh watches its memory and descriptors from the Linux side, where Wine's
// own counters report nothing. It prints one line per step and ends with PASS or FAIL lines.
//   plugin_soak soak    200000 Updates with the window open, a progress line every 10000
//   plugin_soak route DIR   datagrams before, while and after the broadcast route is gone;
//                           asks for each change with a "need:" line and waits for the
//                           script's answer, a file in DIR
// The last line, "result: N failed", tells the script the run came to its end.
#include "plugin/testing/monitor_window_win32.h"
#include "plugin/testing/plugin_under_test_win32.h"
#include "plugin/testing/process_usage_win32.h"
#include "plugin/testing/sample_frame.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kSoakCalls = 200000;
constexpr int kProgressEvery = 10000;  // the first progress line is the steady-state baseline
constexpr int kDrainEvery = 100;       // keeps the receive queue far below its limit
constexpr int kEmptyFrameEvery = 50;   // frames without records send nothing
constexpr std::size_t kFrameVariants = 16;
constexpr int kRouteFrames = 200;
constexpr int kQuietMs = 500;
constexpr int kWindowWaitMs = 5000;
constexpr int kAnswerWaitMs = 10000;
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
            baseline = call == kProgressEvery ? now : baseline;
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
          "handles after 10000 calls " + std::to_string(baseline.handles) + ", at the end " +
              std::to_string(end.handles));
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
    return false;
}

void route(const PluginBinding& plugin, const DatagramReceiver& receiver,
           const std::string& answers) {
    const std::vector<StreamBuilder> input = frames();
    const std::string all = std::to_string(kRouteFrames);
    long mishandled = 0;
    const long before = send_batch(plugin, receiver, input, mishandled);
    check(before == kRouteFrames, "route up: " + std::to_string(before) + " of " + all);
    if (!ask(answers, "route off", "route-off.done")) {
        check(false, "no answer from the watching script");
        return;
    }
    const long during = send_batch(plugin, receiver, input, mishandled);
    check(during == 0, "route gone: " + std::to_string(during) + " datagrams arrived");
    if (!ask(answers, "route on", "route-on.done")) {
        check(false, "no answer from the watching script");
        return;
    }
    const long after = send_batch(plugin, receiver, input, mishandled);
    check(after == kRouteFrames, "route back: " + std::to_string(after) + " of " + all);
    check(mishandled == 0, "every Update returned with both out values zero (" +
                               std::to_string(mishandled) + " did not)");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (!(mode == "soak" && argc == 2) && !(mode == "route" && argc == 3)) {
        std::fprintf(stderr, "usage: plugin_soak soak | plugin_soak route DIR\n");
        return 2;
    }
    WinsockSession winsock;
    DatagramReceiver receiver;
    PluginBinding plugin = plugin_load();
    if (!winsock.started || !receiver.bound() || plugin.update == nullptr) {
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
