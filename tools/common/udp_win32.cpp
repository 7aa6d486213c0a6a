// The UDP interface on Winsock.
#include "tools/common/udp.h"

#include "plugin/telemetry/address_list_win32.h"

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

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

// WSARecvMsg is reached through the socket provider; the receives need it for the destination.
LPFN_WSARECVMSG receive_message_function(SOCKET s) {
    static const LPFN_WSARECVMSG function = [s] {
        GUID id = WSAID_WSARECVMSG;
        LPFN_WSARECVMSG found = nullptr;
        DWORD bytes = 0;
        ::WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,  // in: which function
                   &found, sizeof found,                                   // out: its address
                   &bytes,
                   nullptr,   // overlapped
                   nullptr);  // completion routine
        return found;
    }();
    return function;
}

UdpWait wait_readable(const UdpSocket& s, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_of(s), &readable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == 0) {
        return UdpWait::Timeout;
    }
    return ready < 0 ? UdpWait::Failed : UdpWait::Datagram;
}

// Windows marks a datagram that came as a link-layer broadcast; a system that does not
// (Wine among them) still reports the limited broadcast address as the destination.
bool sent_to_broadcast(WSAMSG& message) {
    if ((message.dwFlags & (MSG_BCAST | MSG_MCAST)) == MSG_BCAST) return true;
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        IN_PKTINFO info;
        std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
        return ::ntohl(info.ipi_addr.s_addr) == kLimitedBroadcastIp;
    }
    return false;
}

// One datagram into `buffer`, after select said one is there.
UdpWait receive_one(const UdpSocket& s, std::span<char> buffer, UdpDatagram& got) {
    const LPFN_WSARECVMSG receive_message = receive_message_function(socket_of(s));
    if (receive_message == nullptr) {
        return UdpWait::Failed;
    }
    sockaddr_in from{};
    WSABUF part{static_cast<ULONG>(buffer.size()), buffer.data()};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr*>(&from);
    message.namelen = sizeof from;
    message.lpBuffers = &part;
    message.dwBufferCount = 1;
    message.Control = {sizeof control, control};
    DWORD received = 0;
    if (receive_message(socket_of(s), &message, &received, nullptr, nullptr) != 0) {
        // A datagram longer than the buffer arrives cut, reported as WSAEMSGSIZE.
        const int error = ::WSAGetLastError();
        if (error != WSAEMSGSIZE) {
            return error == WSAECONNRESET ? UdpWait::Timeout : UdpWait::Failed;
        }
        received = static_cast<DWORD>(buffer.size());
    }
    got = {std::min<std::size_t>(received, buffer.size()), from_sockaddr(from),
           sent_to_broadcast(message)};
    return UdpWait::Datagram;
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
    // Tells broadcasts apart.
    ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on);
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

bool udp_allow_broadcast(const UdpSocket& s, std::string& error) {
    const BOOL on = TRUE;
    if (::setsockopt(socket_of(s), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                     sizeof on) != 0) {
        error = system_error("SO_BROADCAST");
        return false;
    }
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

UdpWait udp_receive(const UdpSocket& s, std::span<char> buffer, UdpDatagram& got, int timeout_ms) {
    const UdpWait wait = wait_readable(s, timeout_ms);
    return wait == UdpWait::Datagram ? receive_one(s, buffer, got) : wait;
}

// Winsock has no call that takes several: the first datagram is waited for, the others taken
// one a call while select says more are waiting, so that a batch that comes back short means
// the socket is empty here too. A failure after the first shows again at the next call.
UdpWait udp_receive_batch(const UdpSocket& s, UdpBatch& batch, int timeout_ms) {
    batch.count = 0;
    const UdpWait wait =
        udp_receive(s, {batch.bytes.data(), batch.slot}, batch.datagrams[0], timeout_ms);
    if (wait != UdpWait::Datagram) {
        return wait;
    }
    for (batch.count = 1; batch.count < batch.datagrams.size(); ++batch.count) {
        const std::span<char> slot{batch.bytes.data() + batch.count * batch.slot, batch.slot};
        if (udp_receive(s, slot, batch.datagrams[batch.count], 0) != UdpWait::Datagram) {
            break;
        }
    }
    return UdpWait::Datagram;
}

bool udp_send(const UdpSocket& s, UdpAddress to, std::span<const char> bytes) {
    const sockaddr_in sa = to_sockaddr(to);
    const int n = ::sendto(socket_of(s), bytes.data(), static_cast<int>(bytes.size()), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == static_cast<int>(bytes.size());
}

std::size_t udp_send_batch(const UdpSocket& s, std::span<const UdpOutgoing> datagrams) {
    std::size_t failed = 0;
    for (const UdpOutgoing& d : datagrams) {
        if (!udp_send(s, d.to, d.bytes)) ++failed;
    }
    return failed;
}

bool udp_source_for(UdpAddress to, std::uint32_t& ip) {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        return false;
    }
    // Connecting a datagram socket sends nothing; it only picks the route and its address.
    const sockaddr_in sa = to_sockaddr(to);
    sockaddr_in local{};
    int length = sizeof local;
    const bool ok = ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
                    ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::closesocket(s);
    ip = from_sockaddr(local).ip;
    return ok;
}

bool udp_lookup(const std::string& name, std::vector<std::uint32_t>& ips, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    AddressList found;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found.first);
    if (rc != 0 || found.first == nullptr) {
        error = "cannot resolve " + name + ": Winsock error " + std::to_string(rc);
        return false;
    }
    for (const addrinfo* a = found.first; a != nullptr; a = a->ai_next) {
        const std::uint32_t ip =
            from_sockaddr(*reinterpret_cast<const sockaddr_in*>(a->ai_addr)).ip;
        if (std::find(ips.begin(), ips.end(), ip) == ips.end()) ips.push_back(ip);
    }
    return true;
}

bool udp_interfaces(std::vector<UdpInterface>& interfaces, std::string& error) {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        error = system_error("socket");
        return false;
    }
    // Winsock's own list, so the program needs no IP helper library.
    INTERFACE_INFO list[64];
    DWORD bytes = 0;
    const int rc = ::WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0,  // no input
                              list, sizeof list,                      // out: the interfaces
                              &bytes,
                              nullptr,   // overlapped
                              nullptr);  // completion routine
    if (rc != 0) {
        error = system_error("listing the interfaces");
        ::closesocket(s);
        return false;
    }
    ::closesocket(s);
    for (std::size_t i = 0; i < bytes / sizeof list[0]; ++i) {
        if ((list[i].iiFlags & IFF_UP) == 0) continue;
        interfaces.push_back({from_sockaddr(list[i].iiAddress.AddressIn).ip,
                              from_sockaddr(list[i].iiNetmask.AddressIn).ip});
    }
    return true;
}

std::string udp_error_text(int code) {
    char text[256] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string said(text, length);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ')) {
        said.pop_back();
    }
    return said.empty() ? "Winsock error " + std::to_string(code) : said;
}
