// POSIX: SO_REUSEADDR lets the port be bound again while old connections linger in TIME_WAIT;
// it does not let a second server listen on it.
#include "tools/g1/sinks/serve/listening_socket.h"

#include <sys/socket.h>

void reuse_listening_address(std::uintptr_t socket) {
    const int on = 1;
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
