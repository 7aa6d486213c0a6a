#include "tools/tessel_host/check_figures.h"

#include <gtest/gtest.h>

#include <vector>

TEST(CheckFigures, PercentilesAreNearestRankAndJudgedAgainstBothBudgets) {
    std::vector<double> times;
    for (int i = 100; i >= 1; --i) times.push_back(i * 0.1);  // 0.1 ms to 10 ms, unsorted
    const UpdateTimes t = update_times(times);
    EXPECT_EQ(t.frames, 100u);
    EXPECT_DOUBLE_EQ(t.p50_ms, 5.0);
    EXPECT_DOUBLE_EQ(t.p99_ms, 9.9);
    EXPECT_DOUBLE_EQ(t.worst_ms, 10.0);
    EXPECT_EQ(timing_verdict(t), TimingVerdict::Stutters);
    EXPECT_EQ(timing_verdict({600, 1.0, 8.0, 40.0}), TimingVerdict::Fits120Hz);
    EXPECT_EQ(timing_verdict({600, 8.4, 9.0, 9.0}), TimingVerdict::Fits60HzOnly);
    EXPECT_EQ(timing_verdict({600, 16.8, 17.0, 17.0}), TimingVerdict::TooSlow);
    EXPECT_EQ(update_times({}).frames, 0u);
}

TEST(CheckFigures, GrowthCountsOnlyAfterTheWarmUpCycles) {
    // A rise in the first cycles, then flat: no growth.
    std::vector<double> settles = {100, 140, 150, 150, 150, 150, 151, 150, 150, 150};
    EXPECT_FALSE(cycle_growth(settles, 0.5).grows);
    // One more after every cycle: growth of 1 a cycle.
    std::vector<double> leaks;
    for (int c = 0; c < 20; ++c) leaks.push_back(100 + c);
    const Growth g = cycle_growth(leaks, 0.5);
    EXPECT_TRUE(g.grows);
    EXPECT_DOUBLE_EQ(g.per_cycle, 1.0);
    EXPECT_TRUE(g.measured && cycle_growth(settles, 0.5).measured);
    const Growth few = cycle_growth(std::vector<double>{1, 2, 3, 4, 5}, 0.5);
    EXPECT_FALSE(few.grows || few.measured);       // too few cycles to judge, and it says so
    EXPECT_FALSE(cycle_growth({}, 0.5).measured);  // a figure the system does not give
}
