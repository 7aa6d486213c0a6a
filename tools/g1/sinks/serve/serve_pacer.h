// How often one page is written to: at most 60 writes a second on average, with a burst of two
// that takes in the sender's jitter at 60 Hz. What arrives faster is coalesced: a page that is
// due later gets the latest values then, not a queue of old ones.
#pragma once

#include <cstdint>

inline constexpr std::int64_t kWritesPerSecond = 60;
inline constexpr std::int64_t kWriteIntervalNs = 1'000'000'000 / kWritesPerSecond;
inline constexpr std::int64_t kWriteBurst = 2;

// A token bucket kept in nanoseconds of credit: every write spends one interval.
struct EventPacer {
    std::int64_t credit_ns = kWriteIntervalNs * kWriteBurst;
    std::int64_t last_ns = -1;  // when the credit was last brought up to date
};

// Whether a write may go now; if so, its interval is spent.
bool pacer_take(EventPacer& pacer, std::int64_t now_ns);

// How long from `now_ns` until pacer_take would say yes.
std::int64_t pacer_wait_ns(const EventPacer& pacer, std::int64_t now_ns);
