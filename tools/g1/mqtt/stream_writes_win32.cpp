// Windows has no cork: the batch's writes go as they come, joined only where the connection's
// own coalescing of small writes joins them. The library keeps the socket non-blocking, so a
// send never waits.
#include "tools/g1/mqtt/stream_writes.h"

#include <winsock2.h>

#include <algorithm>
#include <climits>

void hold_stream_writes(std::uintptr_t, bool) {}

StreamWrite stream_write_some(std::uintptr_t socket, std::span<const char> bytes) {
    const int length = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int n = ::send(static_cast<SOCKET>(socket), bytes.data(), length, 0);
    if (n != SOCKET_ERROR) return {static_cast<std::size_t>(n), false};
    return {0, ::WSAGetLastError() != WSAEWOULDBLOCK};
}

bool stream_wait_writable(std::uintptr_t socket, int timeout_ms) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(static_cast<SOCKET>(socket), &writable);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return ::select(0, nullptr, &writable, nullptr, &timeout) > 0;
}
