// The UDP interface on POSIX sockets.
#include "tools/common/udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

int fd_of(const UdpSocket& s) {
    return static_cast<int>(s.handle);
}

sockaddr_in to_sockaddr(UdpAddress a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(a.port);
    sa.sin_addr.s_addr = htonl(a.ip);
    return sa;
}

UdpAddress from_sockaddr(const sockaddr_in& sa) {
    return {ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port)};
}

std::string system_error(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool udp_startup(std::string&) {
    return true;
}

void udp_cleanup() {}

bool udp_open(UdpAddress local, bool share_port, UdpSocket& out, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = system_error("socket");
        return false;
    }
    const int on = 1;
    if (share_port) {
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const int buffer = 4 << 20;  // a burst of datagrams waits while the terminal catches up
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const sockaddr_in sa = to_sockaddr(local);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = system_error(("bind " + udp_address_text(local)).c_str());
        ::close(fd);
        return false;
    }
    out.handle = static_cast<std::uintptr_t>(fd);
    out.open = true;
    return true;
}

void udp_close(UdpSocket& s) {
    if (s.open) {
        ::close(fd_of(s));
    }
    s = UdpSocket{};
}

UdpAddress udp_local_address(const UdpSocket& s) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    ::getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &length);
    return from_sockaddr(sa);
}

UdpWait udp_receive(const UdpSocket& s, std::span<char> buffer, std::size_t& length,
                    UdpAddress& from, int timeout_ms) {
    pollfd p{fd_of(s), POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return UdpWait::Timeout;
    }
    if (ready < 0) {
        return UdpWait::Failed;
    }
    sockaddr_in sa{};
    socklen_t sa_length = sizeof sa;
    const ssize_t n = ::recvfrom(fd_of(s), buffer.data(), buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&sa), &sa_length);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? UdpWait::Timeout : UdpWait::Failed;
    }
    length = std::min(static_cast<std::size_t>(n), buffer.size());
    from = from_sockaddr(sa);
    return UdpWait::Datagram;
}

bool udp_send(const UdpSocket& s, UdpAddress to, std::span<const char> bytes) {
    const sockaddr_in sa = to_sockaddr(to);
    const ssize_t n = ::sendto(fd_of(s), bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<ssize_t>(bytes.size());
}

bool udp_resolve(const std::string& host, std::uint32_t& ip, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    ip = from_sockaddr(*reinterpret_cast<const sockaddr_in*>(found->ai_addr)).ip;
    ::freeaddrinfo(found);
    return true;
}
