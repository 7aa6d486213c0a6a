// The per-sender and total token buckets, in integer arithmetic.
#include "tools/g1/receive/sender_rates.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::int64_t kOneDatagram = 1'000'000'000;  // tokens a datagram costs
constexpr std::uint32_t kBurstsPerSecond = 10;        // a burst is a tenth of a second's worth

// Refills `b` at `per_second` up to a burst, then takes one datagram if it holds one. A bucket
// not started yet holds `first` tokens.
bool bucket_take(RateBucket& b, std::uint32_t per_second, std::int64_t first, std::int64_t now_ns) {
    const std::int64_t rate = std::clamp<std::int64_t>(per_second, 1, kSenderRateMax);
    const std::int64_t burst = std::max<std::int64_t>(1, rate / kBurstsPerSecond) * kOneDatagram;
    if (!b.started) {
        b = {true, std::min(first, burst), now_ns};
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

}  // namespace

RateVerdict sender_rates_take(SenderRates& rates, std::uint32_t ip, std::int64_t now_ns) {
    if (!bucket_take(sender_state(rates.table, ip), rates.per_second, kOneDatagram, now_ns)) {
        return RateVerdict::OverSender;
    }
    // The relay's own burst: all it may send on at once, whoever sends.
    if (!bucket_take(rates.total, rates.total_per_second, std::numeric_limits<std::int64_t>::max(),
                     now_ns)) {
        return RateVerdict::OverTotal;
    }
    return RateVerdict::Taken;
}
