// The senders' history at the charts' resolution (which sender a page gets: serve_e2e.mjs).
#include "tools/g1/sinks/serve/serve_senders.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::int64_t kSendersMs = 1000;  // microseconds

std::vector<std::int64_t> times_of(const SenderHistory& h) {
    std::vector<std::int64_t> times;
    for (std::size_t i = 0; i < h.count; ++i) times.push_back(history_at(h, i).time_us);
    return times;
}

SenderSample at(std::int64_t time_us) {
    SenderSample s;
    s.time_us = time_us;
    s.fields[1] = static_cast<std::int32_t>(time_us / kSendersMs);
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
         {0, 50 * kSendersMs, 100 * kSendersMs, 150 * kSendersMs, 210 * kSendersMs,
          300 * kSendersMs},
         {0, 100 * kSendersMs, 210 * kSendersMs}},
        {"the time goes back",
         {0, 100 * kSendersMs, 200 * kSendersMs, 50 * kSendersMs, 160 * kSendersMs},
         {50 * kSendersMs, 160 * kSendersMs}},
        {"a jump past the minute",
         {0, 100 * kSendersMs, 61'000 * kSendersMs},
         {61'000 * kSendersMs}},
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
    EXPECT_GE(times.back(), 89'900 * kSendersMs);
    EXPECT_EQ(history_at(h, h.count - 1).fields[1],
              times.back() / kSendersMs);  // values with their time
}

namespace {

constexpr std::int64_t kFrameNs = 1'000'000'000 / 60;

std::vector<std::uint32_t> board_ips(SenderBoard& board) {
    std::vector<SenderLatest> latest;
    std::string health;
    std::uint64_t number = 0;
    std::uint64_t moments = 0;
    board_take(board, latest, health, number, moments);
    std::vector<std::uint32_t> ips;
    for (const SenderLatest& l : latest) ips.push_back(l.ip);
    std::sort(ips.begin(), ips.end());
    return ips;
}

}  // namespace

// A newcomer takes the place of a sender silent for 10 s or of one heard only once or twice in
// its first second, never of one a page shows.
TEST(ServeSenders, ANewcomerReplacesOnlyTheSilentAndTheFleetingAndNeverAShownSender) {
    SenderBoard board;
    const std::uint32_t shown = 100;
    board_show(board, std::span(&shown, 1));
    std::int64_t now = 0;
    for (int frame = 0; frame < 10; ++frame, now += kFrameNs) {
        for (std::uint32_t i = 0; i < kSenderTableMax; ++i) board_put(board, 100 + i, {}, now);
    }
    // All of them go silent; a spoofed address each frame, each heard once.
    for (std::uint32_t i = 0; i < 12 * 60; ++i, now += kFrameNs)
        board_put(board, 1000 + i, {}, now);
    std::vector<std::uint32_t> ips = board_ips(board);
    ASSERT_EQ(ips.size(), kSenderTableMax);
    EXPECT_EQ(ips.front(), shown);  // silent 12 s, but shown
    // The others gave way to newcomers, which in turn gave way after their first second.
    EXPECT_TRUE(
        std::all_of(ips.begin() + 1, ips.end(), [](std::uint32_t ip) { return ip >= 1000; }));
    EXPECT_GE(ips[1], 1000 + 12 * 60 - 2 * 60 - kSenderTableMax);
    // A steady newcomer keeps its place against the next ones heard once.
    for (std::uint32_t i = 0; i < 3 * 60; ++i, now += kFrameNs) {
        board_put(board, 50, {}, now);
        board_put(board, 5000 + i, {}, now);
    }
    ips = board_ips(board);
    EXPECT_EQ(ips.front(), 50u);
}
