// A sender's link health: what the simulator's time and the arrivals say about the link.
#include "tools/g1/receive/link_health.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

static constexpr std::int64_t kFrameUs = 16'667;  // 60 Hz
static constexpr std::int64_t kStartNs = 1'000'000'000'000;

TEST(LinkHealth, FramesLostPausesAndDriftComeFromTheSimulatorsTime) {
    struct Case {
        const char* what;
        std::vector<std::int64_t> frames;  // each datagram's time, in frames
        std::int64_t frame_us;             // the simulator's frame; the wall's is kFrameUs
        std::uint64_t lost, pauses;
        std::int64_t drift_frames;  // of the wall's
    };
    const Case cases[] = {
        {"one and then three frames missing", {0, 1, 2, 4, 5, 9, 10}, kFrameUs, 4, 0, 0},
        {"the first step already skips one", {0, 2, 3, 4, 5, 6, 7}, kFrameUs, 1, 0, 0},
        {"paused twice", {0, 1, 2, 2, 2, 3, 4, 4, 5}, kFrameUs, 0, 2, -3},
        {"a new flight starts over", {100, 101, 102, 0, 1, 2, 3, 5}, kFrameUs, 1, 0, 0},
        {"slow motion: half a frame each", {0, 1, 2, 3, 4}, kFrameUs / 2, 0, 0, -2},
    };
    for (const Case& c : cases) {
        LinkHealth link;
        std::int64_t wall_ns = kStartNs;
        std::int64_t previous = c.frames.front();
        for (const std::int64_t frame : c.frames) {
            // A lost frame takes its time on the wall too; a paused one a frame's.
            wall_ns += std::max<std::int64_t>(frame - previous, 1) * kFrameUs * 1000;
            previous = frame;
            link_note_arrival(link, wall_ns, false);
            link_note_time(link, frame * c.frame_us, false);
        }
        const LinkFigures f = link_figures(link, 1, wall_ns);
        EXPECT_EQ(f.frames_lost, c.lost) << c.what;
        EXPECT_EQ(f.pauses, c.pauses) << c.what;
        EXPECT_NEAR(f.frame_s, c.frame_us / 1e6, 1e-9) << c.what;
        EXPECT_NEAR(f.drift_s, c.drift_frames * kFrameUs / 1e6, 2e-6) << c.what;
    }
}

TEST(LinkHealth, GapQuantilesCoverTheLastMinuteOnly) {
    LinkHealth link;
    std::int64_t now = kStartNs;
    // A slow start, out of the window after 70 s at 100 Hz, then 3.6 s at 25 Hz (above 1 %).
    for (const auto& [gap_ms, count] : {std::pair{500, 2}, {10, 7000}, {40, 90}}) {
        for (int i = 0; i < count; ++i) link_note_arrival(link, now += gap_ms * 1'000'000, false);
    }
    const LinkFigures f = link_figures(link, 1, now);
    EXPECT_NEAR(f.gap_p50_s, 0.010, 0.001);
    EXPECT_NEAR(f.gap_p99_s, 0.040, 0.004);
    EXPECT_EQ(f.rate_hz, 25.0);
    EXPECT_EQ(link_figures(link, 1, now + 2'000'000'000).rate_hz, 0.0);  // gone quiet
}
