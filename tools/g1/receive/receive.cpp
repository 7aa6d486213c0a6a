// The receive loop and step shared by the subcommands of g1.
#include "tools/g1/receive/receive.h"

#include "tools/common/interrupt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>

std::int64_t receive_clock_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Received receive_take(Receiver& r, const UdpDatagram& d, std::span<const char> bytes) {
    return receive_take(r, d, bytes, receive_clock_ns());
}

Received receive_take(Receiver& r, const UdpDatagram& d, std::span<const char> bytes,
                      std::int64_t arrival_ns) {
    Received got;
    if (!sender_filter_takes(r.from, d.from.ip)) {
        ++r.counts.other_senders;
        got.kind = Reception::OtherSender;
        return got;
    }
    if (r.broadcasts_only && !d.broadcast) {
        ++r.counts.not_broadcast;
        got.kind = Reception::NotBroadcast;
        return got;
    }
    ++r.counts.datagrams;
    got.parsed = g1_parse({bytes.data(), bytes.size()});
    LinkHealth& link = sender_state(r.links, d.from.ip);
    const bool malformed = got.parsed.error != G1ParseError::None;
    link_note_arrival(link, arrival_ns, malformed);
    if (malformed) {
        ++r.counts.malformed;
        got.kind = Reception::Malformed;
        return got;
    }
    got.time_us = sender_times_unwrap(r.times, d.from.ip, got.parsed.fields[0], got.wrapped);
    link_note_time(link, got.time_us, got.wrapped);
    return got;
}

std::string sender_name(std::uint32_t ip) {
    return ip == 0 ? "this machine" : udp_ip_text(ip);
}

void receive_link_figures(const Receiver& r, std::int64_t now_ns, std::vector<LinkFigures>& out) {
    out.clear();
    for (const SenderEntry<LinkHealth>& s : r.links.senders) {
        out.push_back(link_figures(s.state, s.ip, now_ns));
    }
}

bool receive_open(ReceiveSocket& in, std::uint16_t port, std::size_t capacity, std::string& error) {
    if (!udp_open({0, port}, true, in.socket, error)) return false;
    udp_batch_reserve(in.batch, capacity, kReceiveSlot);
    return true;
}

void receive_close(ReceiveSocket& in) {
    udp_close(in.socket);
}

UdpWait receive_wait(ReceiveSocket& in, int timeout_ms, const ReceiveHandler& handle) {
    const UdpWait wait = udp_receive_batch(in.socket, in.batch, timeout_ms);
    const std::int64_t arrival_ns = receive_clock_ns();
    for (std::size_t i = 0; wait == UdpWait::Datagram && i < in.batch.count; ++i) {
        handle(in.batch.datagrams[i], udp_batch_bytes(in.batch, i), arrival_ns);
    }
    return wait;
}

int receive_run(std::string_view command, const ReceiveLimits& limits,
                const std::function<std::uint64_t()>& counted,
                const std::function<ReceiveStep(int timeout_ms)>& step) {
    const std::int64_t start_ns = receive_clock_ns();
    const auto go_on = [&] {
        if (interrupt_requested()) return false;
        if (limits.count != 0 && counted() >= limits.count) return false;
        const double ran_s = static_cast<double>(receive_clock_ns() - start_ns) / 1e9;
        return limits.seconds <= 0.0 || ran_s < limits.seconds;
    };
    while (go_on()) {
        const ReceiveStep done = step(kReceiveWaitMs);
        if (done == ReceiveStep::Failed) {
            std::fprintf(stderr, "%.*s: receiving failed\n", static_cast<int>(command.size()),
                         command.data());
            return kExitFailed;
        }
        if (done == ReceiveStep::Stop) break;
    }
    return 0;
}

int receive_idle(std::string_view command, const ReceiveLimits& limits,
                 const std::function<bool(int timeout_ms)>& receiving) {
    const std::int64_t end_ns =
        limits.seconds > 0.0 ? receive_clock_ns() + static_cast<std::int64_t>(limits.seconds * 1e9)
                             : std::numeric_limits<std::int64_t>::max();
    const auto none_counted = [] { return std::uint64_t{0}; };
    return receive_run(command, limits, none_counted, [&](int) {
        const std::int64_t left_ms = (end_ns - receive_clock_ns()) / 1'000'000 + 1;
        const int wait_ms = static_cast<int>(std::clamp<std::int64_t>(left_ms, 1, kIdleWaitMs));
        return receiving(wait_ms) ? ReceiveStep::GoOn : ReceiveStep::Failed;
    });
}
