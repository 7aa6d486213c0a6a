// The tests' broadcast on Linux: 127.255.255.255 is routed to lo and nowhere else.
#include "tools/g1/sinks/relay/tests/test_broadcast.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kLoopbackBroadcastIp = 0x7FFFFFFF;  // 127.255.255.255

}  // namespace

bool test_broadcast_possible() {
    return true;
}

bool test_broadcast_send(std::uint16_t port, std::string_view bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(kLoopbackBroadcastIp);
    const ssize_t sent = ::sendto(fd, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}
