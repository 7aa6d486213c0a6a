// Finds this process's broadcast sockets among its handle values.
#include "testing/broadcast_sockets_win32.h"

#include <windows.h>

namespace {

// Handle values are multiples of 4; a test process holds far fewer than this.
constexpr std::uintptr_t kLastHandleValue = 16384;

bool is_udp_broadcast(SOCKET s) {
    int type = 0;
    int length = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0 ||
        type != SOCK_DGRAM) {
        return false;
    }
    BOOL broadcast = FALSE;
    length = sizeof broadcast;
    return ::getsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<char*>(&broadcast),
                        &length) == 0 &&
           broadcast != FALSE;
}

}  // namespace

std::vector<BroadcastSocket> find_broadcast_sockets() {
    std::vector<BroadcastSocket> found;
    for (std::uintptr_t value = 4; value <= kLastHandleValue; value += 4) {
        const auto s = static_cast<SOCKET>(value);
        if (!is_udp_broadcast(s)) {
            continue;
        }
        sockaddr_in local = {};
        int length = sizeof local;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
        DWORD flags = 0;
        ::GetHandleInformation(reinterpret_cast<HANDLE>(s), &flags);
        found.push_back({s, ::ntohs(local.sin_port), (flags & HANDLE_FLAG_INHERIT) != 0});
    }
    return found;
}
