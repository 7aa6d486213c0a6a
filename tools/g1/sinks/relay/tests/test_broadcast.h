// A broadcast for the relay's tests that never leaves the machine: on Linux to 127.255.255.255,
// the loopback network's own broadcast address; on Windows, which has no such address, to
// 255.255.255.255 and only inside the sandbox, where that route ends on loopback.
#pragma once

#include <cstdint>
#include <string_view>

// False where no broadcast may be sent; the tests that need one are skipped.
bool test_broadcast_possible();

bool test_broadcast_send(std::uint16_t port, std::string_view bytes);
