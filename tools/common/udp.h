// IPv4 UDP for the tools, behind one small interface with a POSIX and a Winsock shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Host byte order throughout; 0.0.0.0 is `ip == 0`.
struct UdpAddress {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
};

inline constexpr std::uint32_t kLoopbackIp = 0x7F000001;          // 127.0.0.1
inline constexpr std::uint32_t kLimitedBroadcastIp = 0xFFFFFFFF;  // 255.255.255.255

inline constexpr bool udp_is_multicast(std::uint32_t ip) {
    return (ip >> 28) == 0xE;  // 224.0.0.0/4
}

struct UdpSocket {
    std::uintptr_t handle = 0;
    bool open = false;
};

enum class UdpWait { Datagram, Timeout, Failed };

// One datagram received: its length (cut to the buffer), its sender, and whether it was sent to
// a broadcast address (the limited one or a subnet's) rather than to an address of this machine.
// A multicast datagram is no broadcast, and neither is one whose destination the system did not
// tell.
struct UdpDatagram {
    std::size_t length = 0;
    UdpAddress from;
    bool broadcast = false;
};

// Room for up to `capacity` datagrams of up to `slot` bytes each (a longer one is cut to `slot`),
// filled by one receive: several at once where the system can (Linux), one at a time elsewhere.
inline constexpr std::size_t kUdpBatchMax = 64;

struct UdpBatch {
    std::size_t slot = 0;
    std::vector<char> bytes;             // capacity * slot
    std::vector<UdpDatagram> datagrams;  // capacity entries
    std::size_t count = 0;               // filled by the last receive
};

// A datagram to send: its bytes stay the caller's until the send returns.
struct UdpOutgoing {
    UdpAddress to;
    std::span<const char> bytes;
};

// Winsock's start-up on Windows, nothing elsewhere. Call once before anything below.
bool udp_startup(std::string& error);
void udp_cleanup();

// A socket bound to `local`. With `share_port`, SO_REUSEADDR lets other receivers bind the same
// port (every one of them gets each broadcast). Never sets SO_BROADCAST: sends stay unicast.
bool udp_open(UdpAddress local, bool share_port, UdpSocket& out, std::string& error);

// Lets the socket send to broadcast addresses, as the plug-in's does (`g1 send` only).
bool udp_allow_broadcast(const UdpSocket& socket, std::string& error);
void udp_close(UdpSocket& socket);

// The address the system bound, port included (for a port of 0 asked for).
UdpAddress udp_local_address(const UdpSocket& socket);

// Waits at most `timeout_ms` for one datagram; a longer one than `buffer` is cut to its size.
// An interrupting signal counts as a timeout, so callers look at their stop flag again.
UdpWait udp_receive(const UdpSocket& socket, std::span<char> buffer, UdpDatagram& got,
                    int timeout_ms);

// `capacity` is at most kUdpBatchMax.
void udp_batch_reserve(UdpBatch& batch, std::size_t capacity, std::size_t slot);

// Waits at most `timeout_ms` for the first datagram, then takes what else is waiting, up to the
// batch's capacity, without waiting.
UdpWait udp_receive_batch(const UdpSocket& socket, UdpBatch& batch, int timeout_ms);

inline std::span<const char> udp_batch_bytes(const UdpBatch& batch, std::size_t i) {
    return {batch.bytes.data() + i * batch.slot, batch.datagrams[i].length};
}

bool udp_send(const UdpSocket& socket, UdpAddress to, std::span<const char> bytes);

// Sends each datagram, with as few system calls as the system allows; a failed one does not stop
// the rest. Returns how many failed.
std::size_t udp_send_batch(const UdpSocket& socket, std::span<const UdpOutgoing> datagrams);

// The source address this machine gives a datagram sent to `to` (the route's own address).
bool udp_source_for(UdpAddress to, std::uint32_t& ip);

// One strict form of IPv4 address: four decimal parts of 0 to 255 without leading zeros
// ("a.b.c.d"), as the G1 fields are strict decimal.
bool udp_parse_ip(std::string_view text, std::uint32_t& ip);

// Looks a name up with the system's resolver; appends each IPv4 address once.
using UdpLookup = bool (*)(const std::string& name, std::vector<std::uint32_t>& ips,
                           std::string& error);
bool udp_lookup(const std::string& name, std::vector<std::uint32_t>& ips, std::string& error);

// Every IPv4 address of `host`: an address in the strict form above, or a host name looked up
// with `lookup`. Other numeric forms that system resolvers take as addresses (0x7f.1, 127.1,
// 2130706433, 0177.0.0.1) are refused, never looked up.
bool udp_resolve_all(const std::string& host, std::vector<std::uint32_t>& ips, std::string& error,
                     UdpLookup lookup = udp_lookup);

// The first of them.
bool udp_resolve(const std::string& host, std::uint32_t& ip, std::string& error);

// A local interface's IPv4 address and netmask.
struct UdpInterface {
    std::uint32_t ip = 0;
    std::uint32_t mask = 0;
};

// The directed broadcast address of the interface's network (every host bit set), or 0 for a
// network too small to have one (a /31 or /32).
inline constexpr std::uint32_t udp_directed_broadcast(UdpInterface i) {
    return (~i.mask & ~std::uint32_t{1}) == 0 ? 0 : i.ip | ~i.mask;
}

// The IPv4 interfaces of this machine that are up.
bool udp_interfaces(std::vector<UdpInterface>& interfaces, std::string& error);

// The system's words for a socket call's error number: errno's here, Winsock's on Windows (where
// libraries that keep errno put Winsock's numbers in it).
std::string udp_error_text(int code);

// "a.b.c.d" and "a.b.c.d:port".
std::string udp_ip_text(std::uint32_t ip);
std::string udp_address_text(UdpAddress address);
