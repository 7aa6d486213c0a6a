// The link's health from scripted arrival times.
#include "tools/g1/sinks/serve/serve_health.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kHealthMs = 1'000'000;
constexpr std::int64_t kStart = 1000 * kHealthMs * 1000;  // any steady clock reading

// `count` arrivals at `rate_hz` from `from`; returns the time of the last.
std::int64_t arrive(ServeHealth& h, std::int64_t from, int count, std::int64_t rate_hz) {
    std::int64_t t = from;
    for (int i = 0; i < count; ++i) {
        t = from + i * 1000 * kHealthMs / rate_hz;
        health_note_arrival(h, t);
    }
    return t;
}

}  // namespace

TEST(ServeHealth, RateIsTheArrivalsOfTheLastWholeSecond) {
    ServeHealth h;
    const std::int64_t last = arrive(h, kStart, 600, 60);  // 10 s at 60 Hz
    EXPECT_NEAR(health_figures(h, last).rate_hz, 60.0, 1.0);
    // Then 120 Hz for two seconds: the rate follows within a second.
    const std::int64_t faster = arrive(h, last + 8 * kHealthMs, 240, 125);
    EXPECT_NEAR(health_figures(h, faster).rate_hz, 125.0, 2.0);
}

TEST(ServeHealth, RateFallsToZeroWhenNothingComesAndIdleCounts) {
    ServeHealth h;
    const std::int64_t last = arrive(h, kStart, 120, 60);
    const HealthFigures quiet = health_figures(h, last + 2500 * kHealthMs);
    EXPECT_EQ(quiet.rate_hz, 0.0);
    EXPECT_EQ(quiet.idle_ms, 2500);
    EXPECT_EQ(quiet.datagrams, 120u);
}

TEST(ServeHealth, NothingYetHasNoIdleTime) {
    EXPECT_EQ(health_figures(ServeHealth{}, kStart).idle_ms, -1);
}

TEST(ServeHealth, LargestGapIsOfTheLastMinuteOnly) {
    ServeHealth h;
    std::int64_t t = arrive(h, kStart, 100, 100);
    health_note_arrival(h, t += 750 * kHealthMs);  // a gap of 750 ms
    t = arrive(h, t + 10 * kHealthMs, 100, 100);
    EXPECT_EQ(health_figures(h, t).largest_gap_ms, 750.0);
    // Forty seconds later, steady: the gap is still within the minute.
    t = arrive(h, t + 20 * kHealthMs, 2000, 50);
    EXPECT_EQ(health_figures(h, t).largest_gap_ms, 750.0);
    // Past the minute it has left the window; the steady 20 ms gaps remain.
    t = arrive(h, t + 20 * kHealthMs, 1500, 50);
    EXPECT_EQ(health_figures(h, t).largest_gap_ms, 20.0);
}

TEST(ServeHealth, WrapsAndCountsComeFromTheReceiver) {
    ServeHealth h;
    health_note_arrival(h, kStart);
    bool wrapped = false;
    sender_times_unwrap(h.receiver.times, 1, 2147483000, wrapped);
    sender_times_unwrap(h.receiver.times, 1, -2147483000, wrapped);
    h.receiver.counts.malformed = 3;
    h.receiver.counts.other_senders = 4;
    const HealthFigures f = health_figures(h, kStart);
    EXPECT_EQ(f.wraps, 1u);
    EXPECT_EQ(f.malformed, 3u);
    EXPECT_EQ(f.other_senders, 4u);
}
