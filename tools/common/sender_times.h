// The running time of each sender's G1 datagrams: every sender's 32-bit time field is unwrapped
// on its own, so a second sender on the network does not show as a jump in the first one's time.
#pragma once

#include "plugin/telemetry/g1_parse.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Anyone on the network can send from any number of addresses; the table stays this small, and
// the sender heard from least recently gives up its place (its time starts afresh if it returns).
inline constexpr std::size_t kSenderTimesMax = 64;

struct SenderTime {
    std::uint32_t ip = 0;
    std::uint64_t last_heard = 0;
    G1TimeUnwrap time;
};

// Senders are told apart by IPv4 address alone: a sender's source port is whatever its system
// assigns and may change while it runs.
struct SenderTimes {
    std::vector<SenderTime> senders;  // at most kSenderTimesMax
    std::uint64_t heard = 0;          // datagrams taken, for the order of last hearing
    std::uint64_t wraps = 0;          // of every sender, those given up included
};

// Unwraps `field` on the running time of the sender at `ip`. `wrapped` tells whether this
// datagram's field passed the signed 32-bit limit.
std::int64_t sender_times_unwrap(SenderTimes& times, std::uint32_t ip, std::int32_t field,
                                 bool& wrapped);
