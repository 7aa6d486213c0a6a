// Windows: SO_REUSEADDR there would let another program bind over a listening port, so the port
// is claimed exclusively instead; connections in TIME_WAIT do not stop a rebind on Windows.
#include "tools/g1/sinks/serve/listening_socket.h"

#include <winsock2.h>

void reuse_listening_address(std::uintptr_t socket) {
    const BOOL on = TRUE;
    ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                 reinterpret_cast<const char*>(&on), sizeof on);
}
