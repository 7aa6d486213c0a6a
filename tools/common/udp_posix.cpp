// The UDP interface on POSIX sockets.
#include "tools/common/udp.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
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

// A datagram's header and the destination the system reports with it (IP_PKTINFO). Left
// uninitialised until `point_at`: a batch has dozens, and the system fills in what is read.
struct Received {
    sockaddr_in from;
    iovec part;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr header;

    void point_at(std::span<char> buffer) {
        part = {buffer.data(), buffer.size()};
        header = msghdr{};
        header.msg_name = &from;
        header.msg_namelen = sizeof from;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
    }

    // Linux reports the header's destination and the local address that answers for it: the
    // same for a datagram sent to this machine, the interface's own for a broadcast.
    bool broadcast() {
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            const std::uint32_t destination = ntohl(info.ipi_addr.s_addr);
            if (udp_is_multicast(destination)) return false;
            return destination == kLimitedBroadcastIp ||
                   info.ipi_addr.s_addr != info.ipi_spec_dst.s_addr;
        }
        return false;
    }

    UdpDatagram datagram(std::size_t length, std::size_t room) {
        return {std::min(length, room), from_sockaddr(from), broadcast()};
    }
};

UdpWait wait_readable(const UdpSocket& s, int timeout_ms) {
    pollfd p{fd_of(s), POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return UdpWait::Timeout;
    }
    return ready < 0 ? UdpWait::Failed : UdpWait::Datagram;
}

UdpWait after_failed_receive() {
    return errno == EINTR || errno == EAGAIN ? UdpWait::Timeout : UdpWait::Failed;
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
    ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);  // tells broadcasts apart
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

bool udp_allow_broadcast(const UdpSocket& s, std::string& error) {
    const int on = 1;
    if (::setsockopt(fd_of(s), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        error = system_error("SO_BROADCAST");
        return false;
    }
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

UdpWait udp_receive(const UdpSocket& s, std::span<char> buffer, UdpDatagram& got, int timeout_ms) {
    const UdpWait wait = wait_readable(s, timeout_ms);
    if (wait != UdpWait::Datagram) {
        return wait;
    }
    Received r;
    r.point_at(buffer);
    const ssize_t n = ::recvmsg(fd_of(s), &r.header, MSG_TRUNC);
    if (n < 0) {
        return after_failed_receive();
    }
    got = r.datagram(static_cast<std::size_t>(n), buffer.size());
    return UdpWait::Datagram;
}

UdpWait udp_receive_batch(const UdpSocket& s, UdpBatch& batch, int timeout_ms) {
    batch.count = 0;
    // Without a wait the receive itself says whether anything is waiting: one call, not two.
    const UdpWait wait = timeout_ms == 0 ? UdpWait::Datagram : wait_readable(s, timeout_ms);
    if (wait != UdpWait::Datagram) {
        return wait;
    }
    const std::size_t capacity = batch.datagrams.size();
    Received r[kUdpBatchMax];
    mmsghdr messages[kUdpBatchMax];
    for (std::size_t i = 0; i < capacity; ++i) {
        r[i].point_at({batch.bytes.data() + i * batch.slot, batch.slot});
        messages[i] = {r[i].header, 0};
    }
    const int n = ::recvmmsg(fd_of(s), messages, static_cast<unsigned>(capacity),
                             MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0) {
        return after_failed_receive();
    }
    batch.count = static_cast<std::size_t>(n);
    for (std::size_t i = 0; i < batch.count; ++i) {
        r[i].header = messages[i].msg_hdr;
        batch.datagrams[i] = r[i].datagram(messages[i].msg_len, batch.slot);
    }
    return n > 0 ? UdpWait::Datagram : UdpWait::Timeout;
}

bool udp_send(const UdpSocket& s, UdpAddress to, std::span<const char> bytes) {
    const sockaddr_in sa = to_sockaddr(to);
    const ssize_t n = ::sendto(fd_of(s), bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<ssize_t>(bytes.size());
}

std::size_t udp_send_batch(const UdpSocket& s, std::span<const UdpOutgoing> datagrams) {
    std::size_t failed = 0;
    while (!datagrams.empty()) {
        const std::size_t count = std::min(datagrams.size(), kUdpBatchMax);
        sockaddr_in to[kUdpBatchMax];
        iovec parts[kUdpBatchMax];
        mmsghdr messages[kUdpBatchMax];  // only the `count` sent are set up, not all 64
        for (std::size_t i = 0; i < count; ++i) {
            messages[i] = {};
            to[i] = to_sockaddr(datagrams[i].to);
            parts[i] = {const_cast<char*>(datagrams[i].bytes.data()), datagrams[i].bytes.size()};
            messages[i].msg_hdr.msg_name = &to[i];
            messages[i].msg_hdr.msg_namelen = sizeof to[i];
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(fd_of(s), messages, static_cast<unsigned>(count), 0);
        // The call stops at the first datagram that fails: count it and go on after it.
        const std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 1;
        if (sent <= 0) ++failed;
        datagrams = datagrams.subspan(done);
    }
    return failed;
}

bool udp_source_for(UdpAddress to, std::uint32_t& ip) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    // Connecting a datagram socket sends nothing; it only picks the route and its address.
    const sockaddr_in sa = to_sockaddr(to);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(fd);
    ip = from_sockaddr(local).ip;
    return ok;
}

bool udp_lookup(const std::string& name, std::vector<std::uint32_t>& ips, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        error = "cannot resolve " + name + ": " + ::gai_strerror(rc);
        return false;
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const std::uint32_t ip =
            from_sockaddr(*reinterpret_cast<const sockaddr_in*>(a->ai_addr)).ip;
        if (std::find(ips.begin(), ips.end(), ip) == ips.end()) ips.push_back(ip);
    }
    ::freeaddrinfo(found);
    return true;
}

bool udp_interfaces(std::vector<UdpInterface>& interfaces, std::string& error) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        error = system_error("getifaddrs");
        return false;
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_netmask == nullptr ||
            i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        interfaces.push_back(
            {from_sockaddr(*reinterpret_cast<const sockaddr_in*>(i->ifa_addr)).ip,
             from_sockaddr(*reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)).ip});
    }
    ::freeifaddrs(list);
    return true;
}

std::string udp_error_text(int code) {
    return std::strerror(code);
}
