// The senders' history at the charts' resolution (which sender a page gets: serve_e2e.mjs).
#include "tools/g1/serve_senders.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::int64_t kMs = 1000;  // microseconds

std::vector<std::int64_t> times_of(const SenderHistory& h) {
    std::vector<std::int64_t> times;
    for (std::size_t i = 0; i < h.count; ++i) times.push_back(history_at(h, i).time_us);
    return times;
}

SenderSample at(std::int64_t time_us) {
    SenderSample s;
    s.time_us = time_us;
    s.fields[1] = static_cast<std::int32_t>(time_us / kMs);
    return s;
}

}  // namespace

TEST(ServeSenders, HistoryKeepsOneSampleAStepAndStartsAfreshOnANewFlight) {
    const struct {
        const char* what;
        std::vector<std::int64_t> arrivals;
        std::vector<std::int64_t> kept;
    } cases[] = {
        {"a step apart at least",
         {0, 50 * kMs, 100 * kMs, 150 * kMs, 210 * kMs, 300 * kMs},
         {0, 100 * kMs, 210 * kMs}},
        {"the time goes back",
         {0, 100 * kMs, 200 * kMs, 50 * kMs, 160 * kMs},
         {50 * kMs, 160 * kMs}},
        {"a jump past the minute", {0, 100 * kMs, 61'000 * kMs}, {61'000 * kMs}},
    };
    for (const auto& c : cases) {
        SenderHistory h;
        for (const std::int64_t t : c.arrivals) history_note(h, at(t));
        EXPECT_EQ(times_of(h), c.kept) << c.what;
    }
    // 90 s at 60 Hz: the last minute, at most one sample a step, oldest first.
    SenderHistory h;
    for (std::int64_t frame = 0; frame <= 90 * 60; ++frame) history_note(h, at(frame * 50'000 / 3));
    const std::vector<std::int64_t> times = times_of(h);
    ASSERT_EQ(times.size(), kHistorySamples);
    for (std::size_t i = 1; i < times.size(); ++i) {
        ASSERT_GE(times[i] - times[i - 1], kHistoryStepUs);
        ASSERT_LT(times[i] - times[i - 1], kHistoryStepUs + 50'000 / 3 + 1);
    }
    EXPECT_GE(times.back(), 89'900 * kMs);
    EXPECT_EQ(history_at(h, h.count - 1).fields[1], times.back() / kMs);  // values with their time
}
