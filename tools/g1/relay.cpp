// Forwarding of datagrams to unicast targets.
#include "tools/g1/relay.h"

#include <charconv>

namespace {

constexpr std::uint32_t kLimitedBroadcastIp = 0xFFFFFFFF;
constexpr std::size_t kLargestDatagram = 65535;

bool is_multicast(std::uint32_t ip) {
    return (ip >> 28) == 0xE;  // 224.0.0.0/4
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

bool relay_target_allowed(UdpAddress target, std::string& error) {
    const std::string text = udp_address_text(target);
    if (target.ip == 0) {
        error = "target " + text + " is no address to send to";
    } else if (target.ip == kLimitedBroadcastIp) {
        error = "target " + text + " is the broadcast address; the relay sends to unicast targets";
    } else if (is_multicast(target.ip)) {
        error = "target " + text + " is a multicast group; the relay sends to unicast targets";
    } else {
        return true;
    }
    return false;
}

bool relay_open(Relay& relay, std::uint16_t port, std::vector<UdpAddress> targets,
                std::string& error) {
    relay = Relay{};
    if (!udp_open({0, port}, true, relay.in, error)) {
        return false;
    }
    if (!udp_open({0, 0}, false, relay.out, error)) {
        udp_close(relay.in);
        return false;
    }
    relay.out_address = udp_local_address(relay.out);
    relay.buffer.resize(kLargestDatagram);
    relay.targets = std::move(targets);
    return true;
}

void relay_close(Relay& relay) {
    udp_close(relay.in);
    udp_close(relay.out);
}

RelayStep relay_step(Relay& relay, int timeout_ms) {
    std::size_t length = 0;
    UdpAddress from;
    const UdpWait wait = udp_receive(relay.in, relay.buffer, length, from, timeout_ms);
    if (wait != UdpWait::Datagram) {
        return wait == UdpWait::Timeout ? RelayStep::Idle : RelayStep::Failed;
    }
    if (from.port == relay.out_address.port) {
        ++relay.ignored_own;
        return RelayStep::Idle;
    }
    const std::span<const char> bytes(relay.buffer.data(), length);
    for (const UdpAddress& target : relay.targets) {
        if (!udp_send(relay.out, target, bytes)) {
            ++relay.send_failures;  // a target that is down must not stop the others
        }
    }
    ++relay.forwarded;
    return RelayStep::Forwarded;
}
