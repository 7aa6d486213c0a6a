// Sends each frame's G1 datagram to 255.255.255.255:50010 through Winsock. The host owns
// Winsock's initialisation; this file never calls WSAStartup or WSACleanup.
#include "plugin/telemetry/address_list_win32.h"
#include "plugin/telemetry/g1_broadcast.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kDestinationBlockSize = 128;
// A socket whose sends have failed this long is made anew, and never more often than this: a
// dead socket recovers, a missing route costs one new socket a second at most.
constexpr ULONGLONG kRemakeAfterMs = 1000;

struct BroadcastState {
    SOCKET socket = INVALID_SOCKET;
    alignas(sockaddr_storage) char destination[kDestinationBlockSize] = {};
    // The run of failed sends since the last one that went out (or found the queue full). The
    // clock is read only when a send fails.
    bool failing = false;
    ULONGLONG failing_since = 0;  // milliseconds, GetTickCount64
    ULONGLONG next_remake = 0;    // no new socket for a failing one before this
};

BroadcastState g_broadcast;

// Resolves the broadcast address into the destination block; on failure the block stays zero
// and the send fails, which drops the socket so the next frame resolves again.
void resolve_destination() {
    std::memset(g_broadcast.destination, 0, sizeof g_broadcast.destination);
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;  // never a lookup that waits
    AddressList found;
    if (::getaddrinfo(kG1Address, kG1Service.text, &hints, &found.first) != 0 ||
        found.first == nullptr) {
        return;
    }
    const std::size_t length =
        std::min<std::size_t>(found.first->ai_addrlen, kDestinationBlockSize);
    std::memcpy(g_broadcast.destination, found.first->ai_addr, length);
}

// Not inherited: a child process the host starts with inherited handles gets neither the
// socket nor its port. Of the ways to keep a full send queue from stalling the frame, only a
// non-blocking socket holds on Windows too: Winsock's send takes no per-call "don't wait" flag,
// an overlapped send leaves a pending datagram and its buffer to account for instead of
// dropping it, and no send buffer size rules the wait out. None of these settings makes the
// send dearer under Wine (the Update benchmark's --socket-settings table).
bool open_socket() {
    const SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        return false;  // for instance Winsock not initialised yet
    }
    // The host's frame must never wait on the network: a datagram the send queue has no room
    // for is dropped, and the next frame brings a fresh one.
    u_long non_blocking = 1;
    // The command's bit pattern as the call's signed type: the header's value is unsigned.
    if (::ioctlsocket(s, static_cast<long>(FIONBIO), &non_blocking) != 0) {
        ::closesocket(s);
        return false;
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

// Errors of the way to the network, most often not of the socket: a cable out or an address
// that went away. The socket stays, and the datagrams go out again once the route is back;
// only when they last is the socket itself suspected (a network that went down may have taken
// it along).
bool is_route_error(int error) {
    switch (error) {
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEADDRNOTAVAIL: return true;
        default: return false;
    }
}

// After a failed send, makes the socket anew: at once on an error of the socket itself, after
// a second of failures on a route error, and in either case no sooner than a second after the
// last time. A few calls that do not wait; the next frame sends through the new socket.
void note_send_failure(int error) {
    const ULONGLONG now = ::GetTickCount64();
    if (!g_broadcast.failing) {
        g_broadcast.failing = true;
        g_broadcast.failing_since = now;
    }
    const bool socket_suspect =
        !is_route_error(error) || now - g_broadcast.failing_since >= kRemakeAfterMs;
    if (socket_suspect && now >= g_broadcast.next_remake) {
        g1_broadcast_close();
        open_socket();  // on failure the next frame tries again
        g_broadcast.next_remake = now + kRemakeAfterMs;
    }
}

}  // namespace

void g1_broadcast(const G1Text& datagram) {
    if (datagram.length == 0) {
        return;
    }
    if (g_broadcast.socket == INVALID_SOCKET && !open_socket()) {
        return;
    }
    const int sent =
        ::sendto(g_broadcast.socket, datagram.bytes, static_cast<int>(datagram.length), 0,
                 reinterpret_cast<const sockaddr*>(g_broadcast.destination), kDestinationBlockSize);
    if (sent != SOCKET_ERROR) {
        g_broadcast.failing = false;
        return;
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
        g_broadcast.failing = false;  // the queue is full: a live socket, and this datagram lost
        return;
    }
    note_send_failure(error);
}

void g1_broadcast_close() {
    if (g_broadcast.socket != INVALID_SOCKET) {
        ::closesocket(g_broadcast.socket);
        g_broadcast.socket = INVALID_SOCKET;
    }
    g_broadcast.failing = false;
}
