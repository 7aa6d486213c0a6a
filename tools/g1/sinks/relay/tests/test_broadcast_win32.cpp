// The tests' broadcast on Windows: 255.255.255.255, sent only inside the sandbox (whose script
// sets TESSEL_SANDBOX), where the only interface is loopback.
#include "tools/g1/sinks/relay/tests/test_broadcast.h"

#include <winsock2.h>

#include <cstring>

bool test_broadcast_possible() {
    char value[16] = {};
    const DWORD length = ::GetEnvironmentVariableA("TESSEL_SANDBOX", value, sizeof value);
    return length != 0 && length < sizeof value && std::strcmp(value, "inside") == 0;
}

bool test_broadcast_send(std::uint16_t port, std::string_view bytes) {
    if (!test_broadcast_possible()) return false;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    const BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = ::htons(port);
    to.sin_addr.s_addr = ::htonl(INADDR_BROADCAST);
    const int sent = ::sendto(s, bytes.data(), static_cast<int>(bytes.size()), 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::closesocket(s);
    return sent == static_cast<int>(bytes.size());
}
