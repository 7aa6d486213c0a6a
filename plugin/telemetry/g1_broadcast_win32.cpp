// Sends each frame's G1 datagram to 255.255.255.255:50010 through Winsock. The host owns
// Winsock's initialisation; this file never calls WSAStartup or WSACleanup.
#include "plugin/telemetry/g1_broadcast.h"

#include "plugin/telemetry/g1_datagram.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kDestinationBlockSize = 128;

struct BroadcastState {
    SOCKET socket = INVALID_SOCKET;
    alignas(sockaddr_storage) char destination[kDestinationBlockSize] = {};
};

BroadcastState g_broadcast;

// Resolves the broadcast address into the destination block; on failure the block stays zero
// and the send fails, which drops the socket so the next frame resolves again.
void resolve_destination() {
    std::memset(g_broadcast.destination, 0, sizeof g_broadcast.destination);
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(kG1Address, kG1Service, &hints, &found) != 0 || found == nullptr) {
        return;
    }
    const std::size_t length = std::min<std::size_t>(found->ai_addrlen, kDestinationBlockSize);
    std::memcpy(g_broadcast.destination, found->ai_addr, length);
    ::freeaddrinfo(found);
}

// Not inherited: a child process the host starts with inherited handles gets neither the
// socket nor its port.
bool open_socket() {
    const SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        return false;  // for instance Winsock not initialised yet
    }
    const char broadcast_on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &broadcast_on, sizeof broadcast_on);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = 0;
    any.sin_addr.s_addr = INADDR_ANY;
    ::bind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    g_broadcast.socket = s;
    resolve_destination();
    return true;
}

// Errors of the way to the network, not of the socket: a cable out or an address that went
// away. The socket stays, and the datagrams go out again once the route is back.
bool is_route_error(int error) {
    switch (error) {
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEADDRNOTAVAIL: return true;
        default: return false;
    }
}

}  // namespace

void g1_broadcast(std::span<const MessageRecord> records) {
    if (records.empty()) {
        return;
    }
    const G1Text text = g1_format(g1_fields(g1_gather(records)));
    if (g_broadcast.socket == INVALID_SOCKET && !open_socket()) {
        return;
    }
    const int sent =
        ::sendto(g_broadcast.socket, text.bytes, static_cast<int>(text.length), 0,
                 reinterpret_cast<const sockaddr*>(g_broadcast.destination), kDestinationBlockSize);
    if (sent == SOCKET_ERROR && !is_route_error(::WSAGetLastError())) {
        g1_broadcast_close();
    }
}

void g1_broadcast_close() {
    if (g_broadcast.socket != INVALID_SOCKET) {
        ::closesocket(g_broadcast.socket);
        g_broadcast.socket = INVALID_SOCKET;
    }
}
