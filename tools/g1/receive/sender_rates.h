// A cap on the datagrams taken from each sender and from all of them together: token buckets,
// refilled at their rates and holding a tenth of a second's worth, so a burst passes and a flood
// is cut down to the rate. A sender first heard (or heard again after losing its place in the
// table) starts with one datagram's allowance, not a burst, so rotating source addresses gains
// nothing; the total cap holds whatever the addresses.
#pragma once

#include "tools/g1/receive/sender_table.h"

#include <cstdint>

inline constexpr std::uint32_t kSenderRateDefault = 1000;  // datagrams a second, one sender
inline constexpr std::uint32_t kTotalRateDefault = 4000;   // datagrams a second, all senders
inline constexpr std::uint32_t kSenderRateMax = 1'000'000;

struct RateBucket {
    bool started = false;
    std::int64_t tokens = 0;  // in datagram-nanoseconds: one datagram is 10^9 of them
    std::int64_t last_ns = 0;
};

struct SenderRates {
    std::uint32_t per_second = kSenderRateDefault;       // each sender; 1 to kSenderRateMax
    std::uint32_t total_per_second = kTotalRateDefault;  // all together; 1 to kSenderRateMax
    SenderTable<RateBucket> table;
    RateBucket total;
};

enum class RateVerdict { Taken, OverSender, OverTotal };

// Whether the sender at `ip` may have one more datagram at `now_ns` (any steady clock): its own
// cap first, so a flooding sender's excess does not use up what the others may have.
RateVerdict sender_rates_take(SenderRates& rates, std::uint32_t ip, std::int64_t now_ns);
