// `g1 relay`: every datagram that reaches the port is sent on, byte for byte, to a list of
// unicast targets, for receivers that a broadcast cannot reach (another subnet, a VPN,
// client-isolated Wi-Fi, devices that take no broadcasts).
#pragma once

#include "tools/common/udp.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Relay {
    UdpSocket in;   // the shared port, as every receiver binds it
    UdpSocket out;  // the relay's own sending socket; no broadcast option
    UdpAddress out_address;
    std::vector<UdpAddress> targets;
    std::vector<char> buffer;  // room for the largest datagram
    std::uint64_t forwarded = 0;
    std::uint64_t ignored_own = 0;
    std::uint64_t send_failures = 0;
};

// "HOST:PORT" to host and port (1 to 65535).
bool relay_parse_target(std::string_view text, std::string& host, std::uint16_t& port,
                        std::string& error);

// Unicast only: 0.0.0.0, the limited broadcast address and multicast groups are refused.
bool relay_target_allowed(UdpAddress target, std::string& error);

// Binds the shared port and the sending socket. Targets are resolved and checked beforehand.
bool relay_open(Relay& relay, std::uint16_t port, std::vector<UdpAddress> targets,
                std::string& error);
void relay_close(Relay& relay);

enum class RelayStep { Forwarded, Idle, Failed };

// Waits at most `timeout_ms` for one datagram and sends it to every target. A datagram from the
// relay's own sending socket (a target that points back at the relay's port) is not sent again,
// so such a target cannot make the relay feed itself.
RelayStep relay_step(Relay& relay, int timeout_ms);
