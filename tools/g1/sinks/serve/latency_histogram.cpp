// The latency histogram's count and percentiles.
#include "tools/g1/sinks/serve/latency_histogram.h"

#include <algorithm>
#include <cstddef>

void latency_note(LatencyHistogram& h, std::int64_t ns) {
    const auto last = static_cast<std::int64_t>(h.us.size() - 1);
    ++h.us[static_cast<std::size_t>(std::clamp<std::int64_t>(ns / 1000, 0, last))];
    ++h.count;
}

std::int64_t latency_percentile_us(const LatencyHistogram& h, double fraction) {
    if (h.count == 0) return 0;
    const auto wanted = static_cast<std::uint64_t>(fraction * static_cast<double>(h.count));
    std::uint64_t seen = 0;
    for (std::size_t us = 0; us < h.us.size(); ++us) {
        seen += h.us[us];
        if (seen > wanted || seen == h.count) return static_cast<std::int64_t>(us);
    }
    return static_cast<std::int64_t>(h.us.size() - 1);
}
