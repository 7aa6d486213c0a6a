// `g1 send`: G1 on the wire without a simulator, as the plug-in sends it (to 255.255.255.255,
// port 50010, unless told otherwise): a recording played back at its own pace, or a built-in
// scenario of the host emulator flown here, the datagrams the plug-in would send for its frames.
// Its options and its sending loops: a recording at its own pace, or a scenario in real time.
#include "tools/g1/command.h"

#include "plugin/host/frame_decoder.h"
#include "plugin/telemetry/g1_datagram.h"
#include "tools/common/interrupt.h"
#include "tools/common/udp.h"
#include "tools/g1/sinks/relay/relay.h"
#include "tools/g1/sources/replay.h"
#include "tools/tessel_host/host_loop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

namespace {

struct SendOptions {
    std::string replay;  // a capture file
    std::string fly;     // a scenario's name
    double speed = 1.0;
    bool loop = false;
    bool all = false;    // malformed datagrams too, as recorded
    std::string sender;  // of the recording; empty: its only one
    double rate = 60.0;
    std::uint64_t drop_every = 0;  // leave out every Nth frame's datagram, as a lossy link would
    std::string to;                // HOST:PORT; empty: the plug-in's destination
    std::uint64_t count = 0;
    double seconds = 0.0;
};

constexpr int kExitNetwork = 1;
constexpr int kExitInput = 2;  // an unreadable or empty recording, a bad option value
constexpr std::chrono::milliseconds kWaitSlice{200};  // how often a wait looks at Ctrl+C
// Late by more than this (a suspended process, a busy machine), the replay goes on from now
// rather than catching up in a burst.
constexpr std::chrono::milliseconds kLateLimit{100};
constexpr std::chrono::nanoseconds kShortestGap{kReplayShortestGapNs};

using Clock = std::chrono::steady_clock;

struct Sender {
    UdpSocket socket;
    UdpAddress to{kLimitedBroadcastIp, kG1Port};
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
};

void fail(const std::string& message) {
    std::fprintf(stderr, "g1 send: %s\n", message.c_str());
}

bool open_sender(const SendOptions& o, Sender& s, std::string& error) {
    std::string host;
    if (!o.to.empty() &&
        (!relay_parse_target(o.to, host, s.to.port, error) || !udp_resolve(host, s.to.ip, error))) {
        return false;
    }
    if (s.to.ip == 0) {
        error = udp_address_text(s.to) + " is no address to send to";
        return false;
    }
    if (!udp_open({0, 0}, false, s.socket, error)) return false;
    if (!udp_allow_broadcast(s.socket, error)) {
        udp_close(s.socket);
        return false;
    }
    return true;
}

void send_one(Sender& s, std::string_view bytes) {
    if (udp_send(s.socket, s.to, {bytes.data(), bytes.size()})) {
        ++s.sent;
    } else {
        ++s.failed;  // a transient failure (no route yet) does not end the stream
    }
}

bool out_of_time(const SendOptions& o, Clock::time_point start) {
    const std::chrono::duration<double> ran = Clock::now() - start;
    return o.seconds > 0.0 && ran.count() >= o.seconds;
}

// Sleeps until `due`, in slices, so Ctrl+C and the time limit are seen; false when they came.
bool wait_until(const SendOptions& o, Clock::time_point start, Clock::time_point due) {
    for (;;) {
        if (interrupt_requested() || out_of_time(o, start)) return false;
        const Clock::time_point now = Clock::now();
        if (now >= due) return true;
        std::this_thread::sleep_until(std::min(due, now + kWaitSlice));
    }
}

std::string sent_text(const Sender& s, Clock::time_point start) {
    const std::chrono::duration<double> ran = Clock::now() - start;
    char text[160];
    std::snprintf(text, sizeof text, "%llu datagrams to %s in %.1f s",
                  static_cast<unsigned long long>(s.sent), udp_address_text(s.to).c_str(),
                  ran.count());
    std::string summary = text;
    if (s.failed != 0) summary += ", " + std::to_string(s.failed) + " sends failed";
    return summary;
}

bool load_recording(const SendOptions& o, ReplayLoad& load, std::string& error) {
    std::ifstream in(o.replay, std::ios::binary);
    if (!in) {
        error = "cannot open " + o.replay;
        return false;
    }
    std::optional<std::uint32_t> sender;
    if (!o.sender.empty() && !udp_resolve(o.sender, sender.emplace(), error)) return false;
    if (!replay_load(in, load, error, interrupt_requested)) {
        error = o.replay + ": " + error;
        return false;
    }
    if (!load.truncated.empty()) {
        fail(o.replay + " is cut short: " + load.truncated +
             "; playing the whole datagrams before the cut");
    }
    if (!replay_choose_sender(load, sender, o.all, error)) {
        error = o.replay + ": " + error;
        return false;
    }
    return true;
}

int run_replay(const SendOptions& o, Sender& s) {
    ReplayLoad load;
    std::string error;
    if (!load_recording(o, load, error)) {
        fail(error);
        return interrupt_requested() ? 0 : kExitInput;  // Ctrl+C while loading: stopped, as asked
    }
    const ReplaySchedule schedule = replay_schedule(load.datagrams, o.speed);
    std::fprintf(stderr, "g1 send: %s, %zu datagrams of %s, at %g times their pace%s, to %s\n",
                 o.replay.c_str(), load.datagrams.size(),
                 udp_ip_text(load.datagrams.front().from.ip).c_str(), o.speed,
                 o.loop ? ", looped" : "", udp_address_text(s.to).c_str());
    const Clock::time_point start = Clock::now();
    Clock::time_point origin = start;  // the first pass's start, moved on after a stall
    Clock::time_point last = start - kShortestGap;
    for (std::uint64_t k = 0; o.loop || k < load.datagrams.size(); ++k) {
        if (o.count != 0 && k >= o.count) break;
        // Never before its time in the file; catching up after a short stall, never closer
        // than the shortest gap.
        const Clock::time_point due = std::max(
            origin + std::chrono::nanoseconds(replay_due_ns(schedule, k)), last + kShortestGap);
        if (!wait_until(o, start, due)) break;
        last = Clock::now();
        const Clock::duration late = last - due;
        if (late > kLateLimit) origin += late;
        send_one(s, load.datagrams[k % load.datagrams.size()].payload);
    }
    std::string summary = sent_text(s, start);
    if (load.other != 0) summary += "; " + std::to_string(load.other) + " other packets skipped";
    if (load.unheld != 0) {
        summary += "; " + std::to_string(load.unheld) +
                   " to a G1 port before its first G1, beyond what loading holds, skipped";
    }
    if (load.other_senders != 0) {
        summary += "; " + std::to_string(load.other_senders) + " of other senders left out";
    }
    if (load.malformed != 0) {
        summary += "; " + std::to_string(load.malformed) +
                   " not well-formed G1 left out (--all plays them)";
    }
    if (!load.truncated.empty()) summary += "; the file is cut short";
    std::fprintf(stderr, "g1 send: %s\n", summary.c_str());
    return 0;
}

// The frames of a scenario as the host emulator makes them, each one decoded and made into its
// datagram by the plug-in's own functions, so the bytes are the plug-in's.
int run_fly(const SendOptions& o, Sender& s) {
    HostPlan plan;
    scenario_from_name(o.fly, plan.scenario);
    plan.rate_hz = o.rate;
    plan.seconds = o.seconds;
    plan.frames = o.count;
    plan.fixed_step = true;
    std::vector<MessageRecord> records;
    HostCalls calls;
    std::uint64_t made = 0;
    std::uint64_t dropped = 0;
    calls.update = [&](const StreamFrame& frame) {
        decode_frame(frame.bytes, frame.count, records);
        const G1Text datagram = g1_datagram(records);
        if (datagram.length == 0) return true;
        if (o.drop_every != 0 && ++made % o.drop_every == 0) {
            ++dropped;
        } else {
            send_one(s, datagram.view());
        }
        return true;
    };
    calls.stop_requested = interrupt_requested;
    std::fprintf(stderr, "g1 send: flying the %s scenario at %g Hz, to %s\n", o.fly.c_str(), o.rate,
                 udp_address_text(s.to).c_str());
    const Clock::time_point start = Clock::now();
    host_run(plan, calls);
    std::string summary = sent_text(s, start);
    if (dropped != 0) summary += "; " + std::to_string(dropped) + " left out on purpose";
    std::fprintf(stderr, "g1 send: %s\n", summary.c_str());
    return 0;
}

CLI::App* add_send_options(CLI::App& app, SendOptions& o) {
    CLI::App* c = app.add_subcommand(
        "send",
        "Send G1 as the plug-in does, to 255.255.255.255:50010: a recording played back, or a "
        "scenario of the host emulator flown here");
    CLI::Option* replay =
        c->add_option("--replay", o.replay,
                      "Play this pcap file (g1 record's, tcpdump's or Wireshark's) at the pace "
                      "it was recorded, never more than 20,000 datagrams a second");
    CLI::Option* fly = c->add_option("--fly", o.fly, "Fly this scenario: circuit or stress")
                           ->check(CLI::IsMember({"circuit", "stress"}));
    replay->excludes(fly);
    c->add_option("--speed", o.speed,
                  "Replay this many times as fast (0.5: half as fast), never closer than 50 "
                  "microseconds")
        ->capture_default_str()
        ->needs(replay);
    c->add_flag("--loop", o.loop, "Replay from the start again after the end, until stopped")
        ->needs(replay);
    c->add_flag("--all", o.all,
                "Replay the sender's malformed datagrams too, as recorded (without it, only "
                "well-formed G1 is sent and the rest counted)")
        ->needs(replay);
    c->add_option("--sender", o.sender,
                  "Replay the datagrams of this sender, where the recording holds several")
        ->needs(replay);
    c->add_option("--rate", o.rate, "Frames a second to fly at")
        ->check(CLI::Range(1.0, 1000.0))
        ->capture_default_str()
        ->needs(fly);
    c->add_option("--drop-every", o.drop_every,
                  "Leave out every Nth frame's datagram, to try what a lossy link shows")
        ->check(CLI::Range(std::uint64_t{2}, std::uint64_t{1'000'000}))
        ->needs(fly);
    c->add_option("--to", o.to, "Send to HOST:PORT instead (unicast, or another broadcast)");
    c->add_option("--count", o.count, "Stop after this many datagrams (0: no limit)");
    c->add_option("--seconds", o.seconds, "Stop after this many seconds (0: no limit)")
        ->check(CLI::NonNegativeNumber);
    return c;
}

int run_send(const SendOptions& o) {
    if (o.replay.empty() == o.fly.empty()) {
        fail("give --replay FILE or --fly SCENARIO");
        return kExitInput;
    }
    if (!(o.speed > 0.0) || !std::isfinite(o.speed)) {
        fail("--speed must be above 0 (1 plays at the recorded pace, 2 twice as fast)");
        return kExitInput;
    }
    Sender s;
    std::string error;
    if (!open_sender(o, s, error)) {
        fail(error);
        return kExitNetwork;
    }
    const int rc = o.replay.empty() ? run_fly(o, s) : run_replay(o, s);
    udp_close(s.socket);
    return rc;
}

}  // namespace

G1Command add_send_command(CLI::App& app) {
    const auto o = std::make_shared<SendOptions>();
    CLI::App* command = add_send_options(app, *o);
    return {command, [o] { return run_send(*o); }};
}
