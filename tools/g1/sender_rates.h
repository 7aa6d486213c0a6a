// A cap on the datagrams taken from each sender: a token bucket per sender, refilled at the
// rate and holding a tenth of a second's worth, so a sender's burst passes and a flood is cut
// down to the rate.
#pragma once

#include "tools/g1/sender_table.h"

#include <cstdint>

inline constexpr std::uint32_t kSenderRateDefault = 1000;  // datagrams a second
inline constexpr std::uint32_t kSenderRateMax = 1'000'000;

struct RateBucket {
    bool started = false;
    std::int64_t tokens = 0;  // in datagram-nanoseconds: one datagram is 10^9 of them
    std::int64_t last_ns = 0;
};

struct SenderRates {
    std::uint32_t per_second = kSenderRateDefault;  // 1 to kSenderRateMax
    SenderTable<RateBucket> table;
};

// Whether the sender at `ip` may have one more datagram at `now_ns` (any steady clock).
bool sender_rates_take(SenderRates& rates, std::uint32_t ip, std::int64_t now_ns);
