// Writes to the broker's TCP connection (non-blocking, as the MQTT library keeps it): `g1
// publish` hands it a whole batch of messages in one write, or, where the library writes (TLS),
// holds its many small writes back while it writes a batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// While held, small writes wait to fill a segment; releasing sends what waits at once.
void hold_stream_writes(std::uintptr_t socket, bool hold);

// What came of one write that never waits.
struct StreamWrite {
    std::size_t taken = 0;  // bytes the connection took
    bool failed = false;    // the connection is lost (taking none for now is no failure)
};

StreamWrite stream_write_some(std::uintptr_t socket, std::span<const char> bytes);

// Waits at most `timeout_ms` for the connection to take more; false on timeout or failure.
bool stream_wait_writable(std::uintptr_t socket, int timeout_ms);
