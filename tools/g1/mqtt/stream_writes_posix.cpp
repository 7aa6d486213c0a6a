// POSIX: a corked socket (Linux's TCP_CORK) sends only full segments until uncorked; a write
// that finds a lost connection fails instead of raising SIGPIPE.
#include "tools/g1/mqtt/stream_writes.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

void hold_stream_writes(std::uintptr_t socket, bool hold) {
    const int on = hold ? 1 : 0;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

StreamWrite stream_write_some(std::uintptr_t socket, std::span<const char> bytes) {
    const ssize_t n =
        ::send(static_cast<int>(socket), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return {static_cast<std::size_t>(n), false};
    return {0, errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR};
}

bool stream_wait_writable(std::uintptr_t socket, int timeout_ms) {
    pollfd p{static_cast<int>(socket), POLLOUT, 0};
    return ::poll(&p, 1, timeout_ms) > 0 && (p.revents & POLLOUT) != 0;
}
