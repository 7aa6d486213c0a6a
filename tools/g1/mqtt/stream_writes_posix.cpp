// POSIX: a corked socket (Linux's TCP_CORK) sends only full segments until uncorked.
#include "tools/g1/mqtt/stream_writes.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void hold_stream_writes(std::uintptr_t socket, bool hold) {
    const int on = hold ? 1 : 0;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}
