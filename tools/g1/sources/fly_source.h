// A scenario of the host emulator flown here as a source: for each frame, the datagram the
// plug-in would send for it, byte for byte, in real time. Every frame steps the flight by exactly
// 1/rate, so every run makes the same datagrams.
#pragma once

#include "tools/g1/sources/source.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct FlyOptions {
    std::string scenario;  // its name: circuit or stress
    double rate_hz = 60.0;
    std::uint64_t drop_every = 0;  // leave out every Nth frame's datagram, as a lossy link would
};

// Made here, the datagrams come from this machine's loopback address.
inline constexpr UdpAddress kFlySender{kLoopbackIp, 0};

// Hands on up to `capacity` frames a wait; a frame left out on purpose counts as one of them.
bool fly_source_open(const FlyOptions& options, std::size_t capacity, G1Source& source,
                     std::string& error);
