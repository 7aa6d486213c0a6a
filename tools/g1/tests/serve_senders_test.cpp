// The senders' board of `g1 serve`: the history at the charts' resolution, the order of senders
// and the one a page shows by default.
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

TEST(ServeSenders, BoardListsSendersInTheOrderFirstHeardAndDefaultsToTheFirst) {
    SenderBoard board;
    std::vector<SenderLatest> latest;
    std::string health;
    std::uint64_t health_number = 0;
    board_take(board, latest, health, health_number);
    EXPECT_EQ(default_sender(latest), 0u);

    constexpr std::uint32_t kFirst = 0x0A000009, kSecond = 0x0A000001;
    board_put(board, kFirst, at(0), 1'000'000);
    board_put(board, kSecond, at(0), 1'010'000);
    board_put(board, kFirst, at(100 * kMs), 1'100'000);
    board_put_health(board, "event: health\n\n");
    board_take(board, latest, health, health_number);
    ASSERT_EQ(latest.size(), 2u);
    EXPECT_EQ(default_sender(latest), kFirst);
    EXPECT_EQ(latest[0].number, 2u);  // the first sender's own count
    EXPECT_EQ(latest[0].sample.time_us, 100 * kMs);
    EXPECT_EQ(health_number, 1u);
    EXPECT_EQ(health, "event: health\n\n");

    std::array<SenderFigures, kSenderTableMax> figures;
    ASSERT_EQ(board_figures(board, 1'200'000, figures), 2u);
    EXPECT_EQ(figures[0].ip, kFirst);
    EXPECT_EQ(figures[1].ip, kSecond);
    EXPECT_EQ(figures[0].link.datagrams, 2u);

    SenderHistory history;
    ASSERT_TRUE(board_history(board, kFirst, history));
    EXPECT_EQ(history.count, 2u);
    EXPECT_FALSE(board_history(board, 0x0A0000FF, history));

    // A full table gives up the sender heard least recently: the first, and the next is shown.
    for (std::uint32_t ip = 0x0B000000; ip < 0x0B000000 + kSenderTableMax - 2; ++ip) {
        board_put(board, ip, at(0), 2'000'000);
    }
    board_put(board, kSecond, at(100 * kMs), 2'100'000);
    board_put(board, 0x0C000000, at(0), 2'200'000);
    board_take(board, latest, health, health_number);
    EXPECT_EQ(latest.size(), kSenderTableMax);
    EXPECT_EQ(default_sender(latest), kSecond);
}
