// Playing a recording on the receive clock: never before a datagram's time in the file over the
// speed, never closer than the shortest gap, and after a long stall on from now, not in a burst.
#include "tools/g1/sources/replay_source.h"

#include "tools/common/interrupt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

namespace {

// Late by more than this (a suspended process, a busy machine), the replay goes on from now
// rather than catching up in a burst.
constexpr std::int64_t kLateLimitNs = 100'000'000;

struct Playing {
    ReplayLoad load;
    ReplaySchedule schedule;
    bool loop = false;
    std::size_t capacity = 1;
    bool started = false;
    std::int64_t origin_ns = 0;  // the first pass's start, moved on after a stall
    std::int64_t last_ns = 0;    // when the one before was handed on
    std::uint64_t k = 0;         // handed on so far, over every pass
};

void sleep_to(std::int64_t at_ns) {
    const std::int64_t now_ns = receive_clock_ns();
    if (at_ns > now_ns) std::this_thread::sleep_for(std::chrono::nanoseconds(at_ns - now_ns));
}

bool played(const Playing& p) {
    return !p.loop && p.k >= p.load.datagrams.size();
}

UdpWait play(Playing& p, int timeout_ms, const ReceiveHandler& handle) {
    std::int64_t now_ns = receive_clock_ns();
    if (!p.started) {
        p.started = true;
        p.origin_ns = now_ns;
        p.last_ns = now_ns - kReplayShortestGapNs;
    }
    const std::int64_t deadline_ns = now_ns + std::int64_t{timeout_ms} * 1'000'000;
    if (played(p)) {  // a caller that goes on after the end waits as for a silent port
        sleep_to(deadline_ns);
        return UdpWait::Timeout;
    }
    std::size_t handed = 0;
    while (handed < p.capacity && !played(p)) {
        const std::int64_t due_ns = std::max(p.origin_ns + replay_due_ns(p.schedule, p.k),
                                             p.last_ns + kReplayShortestGapNs);
        if (due_ns > now_ns) {
            if (handed > 0) break;
            if (due_ns > deadline_ns) {
                sleep_to(deadline_ns);
                return UdpWait::Timeout;
            }
            sleep_to(due_ns);
            now_ns = receive_clock_ns();
        }
        p.last_ns = now_ns;
        if (now_ns - due_ns > kLateLimitNs) p.origin_ns += now_ns - due_ns;
        const PcapDatagram& d = p.load.datagrams[p.k % p.load.datagrams.size()];
        ++p.k;
        ++handed;
        handle({d.payload.size(), d.from, d.to.ip == kLimitedBroadcastIp}, d.payload, now_ns);
    }
    return handed > 0 ? UdpWait::Datagram : UdpWait::Timeout;
}

std::string skipped_words(const ReplayLoad& load) {
    std::string words;
    if (load.other != 0) words += "; " + std::to_string(load.other) + " other packets skipped";
    if (load.unheld != 0) {
        words += "; " + std::to_string(load.unheld) +
                 " to a G1 port before its first G1, beyond what loading holds, skipped";
    }
    if (load.other_senders != 0) {
        words += "; " + std::to_string(load.other_senders) + " of other senders left out";
    }
    if (load.malformed != 0) {
        words += "; " + std::to_string(load.malformed) +
                 " not well-formed G1 left out (--all plays them)";
    }
    if (!load.truncated.empty()) words += "; the file is cut short";
    return words;
}

}  // namespace

bool replay_source_open(const ReplayOptions& o, std::size_t capacity, G1Source& source,
                        std::string& error, std::string& notice) {
    const auto p = std::make_shared<Playing>();
    std::ifstream in(o.file, std::ios::binary);
    if (!in) {
        error = "cannot open " + o.file;
        return false;
    }
    std::optional<std::uint32_t> sender;
    if (!o.sender.empty() && !udp_resolve(o.sender, sender.emplace(), error)) return false;
    if (!replay_load(in, p->load, error, interrupt_requested)) {
        error = o.file + ": " + error;
        return false;
    }
    if (!p->load.truncated.empty()) {
        notice = o.file + " is cut short: " + p->load.truncated +
                 "; playing the whole datagrams before the cut";
    }
    if (!replay_choose_sender(p->load, sender, o.all, error)) {
        error = o.file + ": " + error;
        return false;
    }
    p->schedule = replay_schedule(p->load.datagrams, o.speed);
    p->loop = o.loop;
    p->capacity = std::max<std::size_t>(capacity, 1);
    char pace[64];
    std::snprintf(pace, sizeof pace, ", at %g times their pace", o.speed);
    source = G1Source{};
    source.text = o.file + ", " + std::to_string(p->load.datagrams.size()) + " datagrams of " +
                  udp_ip_text(p->load.datagrams.front().from.ip) + pace +
                  (o.loop ? ", looped" : "");
    source.hint = SourceHint::Replay;
    source.on_demand = true;
    source.wait = [p](int timeout_ms, const ReceiveHandler& handle) {
        return play(*p, timeout_ms, handle);
    };
    source.ended = [p] { return played(*p); };
    source.close = [p] { return skipped_words(p->load); };
    return true;
}
