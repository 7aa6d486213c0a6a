// The G1 datagram's worked example: a frame and the exact payload it must give.
#pragma once

#include "tools/message_stream/stream_builder.h"

#include <string_view>

inline constexpr std::string_view kWorkedExampleDatagram =
    "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,";

// Gravity (recognised, gives nothing), time 1.5, bank -0.0125 and true heading pi.
inline StreamBuilder worked_example_frame() {
    StreamBuilder b;
    b.doubles("Aircraft.Gravity", {0.0, 0.0, -9.81})
        .doubles("Simulation.Time", {1.5})
        .doubles("Aircraft.Bank", {-0.0125})
        .doubles("Aircraft.TrueHeading", {3.141592653589793});
    return b;
}
