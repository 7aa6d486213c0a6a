// Many small writes to one TCP connection as few segments: `g1 publish` writes a message a
// datagram and holds them back while it writes a batch.
#pragma once

#include <cstdint>

// While held, small writes wait to fill a segment; releasing sends what waits at once.
void hold_stream_writes(std::uintptr_t socket, bool hold);
