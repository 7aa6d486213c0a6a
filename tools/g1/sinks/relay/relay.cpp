// Forwarding of G1 broadcasts to unicast targets.
#include "tools/g1/sinks/relay/relay.h"

#include "plugin/telemetry/g1_parse.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace {

constexpr std::size_t kBatchCapacity = kUdpBatchMax;  // copies kept room for, per target

// The source addresses the relay's copies carry: the sending port, with the address of the
// route to each target.
std::vector<UdpAddress> own_addresses(std::uint16_t port, const std::vector<UdpAddress>& targets) {
    std::vector<UdpAddress> own;
    for (const UdpAddress& t : targets) {
        UdpAddress source{0, port};
        if (!udp_source_for(t, source.ip)) continue;
        const bool known = std::any_of(own.begin(), own.end(),
                                       [&](const UdpAddress& o) { return o.ip == source.ip; });
        if (!known) own.push_back(source);
    }
    return own;
}

}  // namespace

bool relay_parse_target(std::string_view text, std::string& host, std::uint16_t& port,
                        std::string& error) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) {
        error = "target \"" + std::string(text) + "\" is not HOST:PORT";
        return false;
    }
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535) {
        error = "target \"" + std::string(text) + "\": port must be 1 to 65535";
        return false;
    }
    host = std::string(text.substr(0, colon));
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool relay_target_allowed(UdpAddress target, std::span<const UdpInterface> interfaces,
                          std::string& error) {
    const std::string text = udp_address_text(target);
    const auto directed = std::find_if(interfaces.begin(), interfaces.end(), [&](UdpInterface i) {
        return udp_directed_broadcast(i) == target.ip;
    });
    if (target.ip == 0) {
        error = "target " + text + " is no address to send to";
    } else if (target.ip == kLimitedBroadcastIp) {
        error = "target " + text + " is the broadcast address; the relay sends to unicast targets";
    } else if (directed != interfaces.end()) {
        error = "target " + text + " is the broadcast address of the network of " +
                udp_ip_text(directed->ip) + "; the relay sends to unicast targets";
    } else if (udp_is_multicast(target.ip)) {
        error = "target " + text + " is a multicast group; the relay sends to unicast targets";
    } else {
        return true;
    }
    return false;
}

bool relay_open(Relay& relay, RelayReceive receive, bool broadcasts_only,
                std::vector<UdpAddress> targets, SenderFilter from, std::uint32_t max_rate,
                std::uint32_t max_total_rate, std::string& error) {
    relay = Relay{};
    if (!udp_open({0, 0}, false, relay.out, error)) return false;
    relay.receive = std::move(receive);
    relay.receiver.broadcasts_only = broadcasts_only;
    relay.own = own_addresses(udp_local_address(relay.out).port, targets);
    relay.targets = std::move(targets);
    relay.receiver.from = std::move(from);
    relay.rates.per_second = max_rate;
    relay.rates.total_per_second = max_total_rate;
    relay.outgoing.reserve(kBatchCapacity * relay.targets.size());
    return true;
}

void relay_close(Relay& relay) {
    udp_close(relay.out);
}

RelayVerdict relay_judge(Relay& relay, const UdpDatagram& d, std::span<const char> bytes,
                         std::int64_t now_ns) {
    const auto is_from = [&](const UdpAddress& a) {
        return a.ip == d.from.ip && a.port == d.from.port;
    };
    if (std::any_of(relay.own.begin(), relay.own.end(), is_from)) {
        ++relay.counts.own;
        return RelayVerdict::Own;
    }
    switch (receive_take(relay.receiver, d, bytes).kind) {
        case Reception::OtherSender: return RelayVerdict::OtherSender;
        case Reception::NotBroadcast: return RelayVerdict::NotBroadcast;
        case Reception::Malformed: return RelayVerdict::NotG1;
        case Reception::G1: break;
    }
    switch (sender_rates_take(relay.rates, d.from.ip, now_ns)) {
        case RateVerdict::OverSender: ++relay.counts.over_rate; return RelayVerdict::OverRate;
        case RateVerdict::OverTotal: ++relay.counts.over_total; return RelayVerdict::OverTotal;
        case RateVerdict::Taken: break;
    }
    ++relay.counts.forwarded;
    relay.held_at.emplace_back(relay.held.size(), bytes.size());
    relay.held.append(bytes.data(), bytes.size());
    return RelayVerdict::Forward;
}

RelayStep relay_step(Relay& relay, int timeout_ms) {
    relay.held.clear();
    relay.held_at.clear();
    relay.outgoing.clear();
    const UdpWait wait = relay.receive(
        timeout_ms, [&](const UdpDatagram& d, std::span<const char> bytes,
                        std::int64_t arrival_ns) { relay_judge(relay, d, bytes, arrival_ns); });
    if (wait == UdpWait::Failed) {
        return RelayStep::Failed;
    }
    if (relay.held_at.empty()) {
        return RelayStep::Idle;
    }
    for (const auto& [at, length] : relay.held_at) {
        for (const UdpAddress& target : relay.targets) {
            relay.outgoing.push_back({target, {relay.held.data() + at, length}});
        }
    }
    // A target that is down must not stop the others.
    relay.counts.send_failures += udp_send_batch(relay.out, relay.outgoing);
    return RelayStep::Forwarded;
}

std::string relay_summary(const Relay& relay) {
    const RelayCounts& c = relay.counts;
    const ReceiveCounts& r = relay.receiver.counts;
    char text[480];
    std::snprintf(
        text, sizeof text,
        "forwarded %llu datagrams to %zu targets, %llu sends failed; ignored %llu not "
        "G1, %llu not broadcast, %llu own copies, %llu from other senders; dropped %llu above "
        "%lu a second from one sender (--max-rate), %llu above %lu a second from all senders "
        "(--max-total-rate)\n",
        static_cast<unsigned long long>(c.forwarded), relay.targets.size(),
        static_cast<unsigned long long>(c.send_failures),
        static_cast<unsigned long long>(r.malformed),
        static_cast<unsigned long long>(r.not_broadcast), static_cast<unsigned long long>(c.own),
        static_cast<unsigned long long>(r.other_senders),
        static_cast<unsigned long long>(c.over_rate),
        static_cast<unsigned long>(relay.rates.per_second),
        static_cast<unsigned long long>(c.over_total),
        static_cast<unsigned long>(relay.rates.total_per_second));
    return text;
}
