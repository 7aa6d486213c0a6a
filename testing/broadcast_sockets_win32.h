// Test support on Windows: the broadcast sockets this process holds, found by trying each
// handle value, since the plug-in keeps its socket to itself.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <vector>

struct BroadcastSocket {
    SOCKET socket;
    std::uint16_t local_port;
    bool inheritable;
};

// Every UDP socket of this process with SO_BROADCAST set.
std::vector<BroadcastSocket> find_broadcast_sockets();
