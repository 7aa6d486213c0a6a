// The UDP interface on Winsock.
#include "tools/common/udp.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

namespace {

SOCKET socket_of(const UdpSocket& s) {
    return static_cast<SOCKET>(s.handle);
}

sockaddr_in to_sockaddr(UdpAddress a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = ::htons(a.port);
    sa.sin_addr.s_addr = ::htonl(a.ip);
    return sa;
}

UdpAddress from_sockaddr(const sockaddr_in& sa) {
    return {::ntohl(sa.sin_addr.s_addr), ::ntohs(sa.sin_port)};
}

std::string system_error(const std::string& what) {
    return what + ": Winsock error " + std::to_string(::WSAGetLastError());
}

}  // namespace

bool udp_startup(std::string& error) {
    WSADATA data;
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
        error = "WSAStartup failed with error " + std::to_string(rc);
        return false;
    }
    return true;
}

void udp_cleanup() {
    ::WSACleanup();
}

bool udp_open(UdpAddress local, bool share_port, UdpSocket& out, std::string& error) {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        error = system_error("socket");
        return false;
    }
    const BOOL on = TRUE;
    if (share_port) {
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    }
    const int buffer = 4 << 20;  // a burst of datagrams waits while the console catches up
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
    const sockaddr_in sa = to_sockaddr(local);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = system_error("bind " + udp_address_text(local));
        ::closesocket(s);
        return false;
    }
    out.handle = static_cast<std::uintptr_t>(s);
    out.open = true;
    return true;
}

void udp_close(UdpSocket& s) {
    if (s.open) {
        ::closesocket(socket_of(s));
    }
    s = UdpSocket{};
}

UdpAddress udp_local_address(const UdpSocket& s) {
    sockaddr_in sa{};
    int length = sizeof sa;
    ::getsockname(socket_of(s), reinterpret_cast<sockaddr*>(&sa), &length);
    return from_sockaddr(sa);
}

UdpWait udp_receive(const UdpSocket& s, std::span<char> buffer, std::size_t& length,
                    UdpAddress& from, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_of(s), &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) {
        return UdpWait::Timeout;
    }
    if (ready < 0) {
        return UdpWait::Failed;
    }
    sockaddr_in sa{};
    int sa_length = sizeof sa;
    const int n = ::recvfrom(socket_of(s), buffer.data(), static_cast<int>(buffer.size()), 0,
                             reinterpret_cast<sockaddr*>(&sa), &sa_length);
    // A datagram longer than the buffer arrives cut, reported as WSAEMSGSIZE.
    if (n < 0 && ::WSAGetLastError() != WSAEMSGSIZE) {
        return ::WSAGetLastError() == WSAECONNRESET ? UdpWait::Timeout : UdpWait::Failed;
    }
    length = n < 0 ? buffer.size() : std::min(static_cast<std::size_t>(n), buffer.size());
    from = from_sockaddr(sa);
    return UdpWait::Datagram;
}

bool udp_send(const UdpSocket& s, UdpAddress to, std::span<const char> bytes) {
    const sockaddr_in sa = to_sockaddr(to);
    const int n = ::sendto(socket_of(s), bytes.data(), static_cast<int>(bytes.size()), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<int>(bytes.size());
}

bool udp_resolve(const std::string& host, std::uint32_t& ip, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = "cannot resolve " + host + ": Winsock error " + std::to_string(rc);
        return false;
    }
    ip = from_sockaddr(*reinterpret_cast<const sockaddr_in*>(found->ai_addr)).ip;
    ::freeaddrinfo(found);
    return true;
}
