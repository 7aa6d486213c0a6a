// Arrival-to-written times in microsecond buckets, as g1 serve keeps them and as its benchmark's
// limit keeps them, so that the two are read the same way.
#pragma once

#include <array>
#include <cstdint>

// One count per event and reader; the last bucket takes everything slower.
struct LatencyHistogram {
    std::array<std::uint64_t, 20001> us{};
    std::uint64_t count = 0;
};

void latency_note(LatencyHistogram& histogram, std::int64_t ns);

// The microsecond below which `fraction` of the events fall (0 with no events).
std::int64_t latency_percentile_us(const LatencyHistogram& histogram, double fraction);
