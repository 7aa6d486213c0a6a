// IPv4 UDP for the tools, behind one small interface with a POSIX and a Winsock shell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Host byte order throughout; 0.0.0.0 is `ip == 0`.
struct UdpAddress {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
};

inline constexpr std::uint32_t kLoopbackIp = 0x7F000001;  // 127.0.0.1

struct UdpSocket {
    std::uintptr_t handle = 0;
    bool open = false;
};

enum class UdpWait { Datagram, Timeout, Failed };

// Winsock's start-up on Windows, nothing elsewhere. Call once before anything below.
bool udp_startup(std::string& error);
void udp_cleanup();

// A socket bound to `local`. With `share_port`, SO_REUSEADDR lets other receivers bind the same
// port (every one of them gets each broadcast). Never sets SO_BROADCAST: sends stay unicast.
bool udp_open(UdpAddress local, bool share_port, UdpSocket& out, std::string& error);
void udp_close(UdpSocket& socket);

// The address the system bound, port included (for a port of 0 asked for).
UdpAddress udp_local_address(const UdpSocket& socket);

// Waits at most `timeout_ms` for one datagram; a longer one than `buffer` is cut to its size.
// An interrupting signal counts as a timeout, so callers look at their stop flag again.
UdpWait udp_receive(const UdpSocket& socket, std::span<char> buffer, std::size_t& length,
                    UdpAddress& from, int timeout_ms);

bool udp_send(const UdpSocket& socket, UdpAddress to, std::span<const char> bytes);

// A host name or dotted address to its first IPv4 address.
bool udp_resolve(const std::string& host, std::uint32_t& ip, std::string& error);

// "a.b.c.d:port".
std::string udp_address_text(UdpAddress address);
