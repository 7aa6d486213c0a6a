// The token bucket of a page's writes.
#include "tools/g1/sinks/serve/serve_pacer.h"

#include <algorithm>

namespace {

constexpr std::int64_t kCreditLimitNs = kWriteIntervalNs * kWriteBurst;

std::int64_t credit_at(const EventPacer& p, std::int64_t now_ns) {
    if (p.last_ns < 0) return p.credit_ns;
    return std::min(kCreditLimitNs, p.credit_ns + std::max<std::int64_t>(0, now_ns - p.last_ns));
}

}  // namespace

bool pacer_take(EventPacer& p, std::int64_t now_ns) {
    p.credit_ns = credit_at(p, now_ns);
    p.last_ns = now_ns;
    if (p.credit_ns < kWriteIntervalNs) return false;
    p.credit_ns -= kWriteIntervalNs;
    return true;
}

std::int64_t pacer_wait_ns(const EventPacer& p, std::int64_t now_ns) {
    return std::max<std::int64_t>(0, kWriteIntervalNs - credit_at(p, now_ns));
}
