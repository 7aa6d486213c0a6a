// The per-sender token buckets, in integer arithmetic.
#include "tools/g1/sender_rates.h"

#include <algorithm>

namespace {

constexpr std::int64_t kOneDatagram = 1'000'000'000;  // tokens a datagram costs
constexpr std::uint32_t kBurstsPerSecond = 10;        // a burst is a tenth of a second's worth

}  // namespace

bool sender_rates_take(SenderRates& rates, std::uint32_t ip, std::int64_t now_ns) {
    const std::int64_t rate = std::clamp<std::int64_t>(rates.per_second, 1, kSenderRateMax);
    const std::int64_t burst = std::max<std::int64_t>(1, rate / kBurstsPerSecond) * kOneDatagram;
    RateBucket& b = sender_state(rates.table, ip);
    if (!b.started) {
        b = {true, burst, now_ns};
    } else {
        // Tokens come at `rate` per nanosecond; compared before multiplying, so nothing overflows.
        const std::int64_t elapsed = std::max<std::int64_t>(0, now_ns - b.last_ns);
        b.tokens = elapsed >= (burst - b.tokens) / rate ? burst : b.tokens + elapsed * rate;
        b.last_ns = std::max(b.last_ns, now_ns);
    }
    if (b.tokens < kOneDatagram) return false;
    b.tokens -= kOneDatagram;
    return true;
}
