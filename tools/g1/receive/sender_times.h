// The running time of each sender's G1 datagrams: every sender's 32-bit time field is unwrapped
// on its own, so a second sender on the network does not show as a jump in the first one's time.
#pragma once

#include "plugin/telemetry/g1_parse.h"
#include "tools/g1/receive/sender_table.h"

#include <cstdint>

struct SenderTimes {
    SenderTable<G1TimeUnwrap> table;
    std::uint64_t wraps = 0;  // of every sender, those given up included
};

// Unwraps `field` on the running time of the sender at `ip`. `wrapped` tells whether this
// datagram's field passed the signed 32-bit limit.
std::int64_t sender_times_unwrap(SenderTimes& times, std::uint32_t ip, std::int32_t field,
                                 bool& wrapped);
