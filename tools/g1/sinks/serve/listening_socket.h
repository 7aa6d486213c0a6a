// The one option of the HTTP listening socket that differs by platform: a restarted `g1 serve`
// takes its port back at once, and no other program can take it while it runs.
#pragma once

#include <cstdint>

// Call between opening and binding the socket.
void reuse_listening_address(std::uintptr_t socket);
