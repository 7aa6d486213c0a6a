// A page's writes: at the sender's 60 Hz every datagram goes out at once; faster, at most 60 a
// second go out and the rest are coalesced.
#include "tools/g1/sinks/serve/serve_pacer.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

// Datagrams at `rate_hz` with a jitter of +-`jitter_ns` alternating; counts immediate writes.
int writes_over_ten_seconds(std::int64_t rate_hz, std::int64_t jitter_ns) {
    EventPacer p;
    int writes = 0;
    for (std::int64_t i = 0; i < 10 * rate_hz; ++i) {
        const std::int64_t now = i * kSecond / rate_hz + (i % 2 == 0 ? jitter_ns : -jitter_ns);
        writes += pacer_take(p, now) ? 1 : 0;
    }
    return writes;
}

}  // namespace

TEST(EventPacer, SixtyHertzWithJitterIsWrittenWithoutDelay) {
    EXPECT_EQ(writes_over_ten_seconds(60, 4'000'000), 600);
}

TEST(EventPacer, OneHundredTwentyHertzIsCoalescedToSixty) {
    const int writes = writes_over_ten_seconds(120, 0);
    EXPECT_GE(writes, 599);
    EXPECT_LE(writes, 600 + kWriteBurst);
}

TEST(EventPacer, WaitSaysWhenTheNextWriteIsDue) {
    EventPacer p;
    ASSERT_TRUE(pacer_take(p, 0));
    ASSERT_TRUE(pacer_take(p, 0));
    EXPECT_FALSE(pacer_take(p, 0));
    EXPECT_EQ(pacer_wait_ns(p, 0), kWriteIntervalNs);
    EXPECT_FALSE(pacer_take(p, kWriteIntervalNs - 1));
    EXPECT_EQ(pacer_wait_ns(p, kWriteIntervalNs - 1), 1);
    EXPECT_TRUE(pacer_take(p, kWriteIntervalNs));
}
