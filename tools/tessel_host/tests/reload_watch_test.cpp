#include "tools/tessel_host/reload_watch.h"

#include <gtest/gtest.h>

using std::chrono::milliseconds;

TEST(ReloadWatch, ReloadsANewBuildOnlyOnceItHeldStillFor100Ms) {
    const FileStamp built{true, 1000, 1};
    ReloadWatch w = watch_start(built);
    const struct {
        int at_ms;
        FileStamp seen;
        bool reload;
    } steps[] = {
        {0, built, false},           // unchanged
        {20, {false, 0, 0}, false},  // the linker removed it
        {40, {true, 0, 2}, false},   // and is writing the new one
        {60, {true, 600, 3}, false},
        {150, {true, 600, 3}, false},   // 90 ms still
        {170, {true, 1200, 4}, false},  // grew again: the wait starts over
        {260, {true, 1200, 4}, false},
        {270, {true, 1200, 4}, true},  // 100 ms still
    };
    for (const auto& step : steps) {
        EXPECT_EQ(watch_observe(w, step.seen, milliseconds(step.at_ms)), step.reload) << step.at_ms;
    }
    watch_tried(w, {true, 1200, 4});
    EXPECT_FALSE(watch_observe(w, {true, 1200, 4}, milliseconds(400)));  // tried: not again
    // The next build, even a broken one of the same size, is picked up.
    EXPECT_FALSE(watch_observe(w, {true, 1200, 5}, milliseconds(500)));
    EXPECT_TRUE(watch_observe(w, {true, 1200, 5}, milliseconds(600)));
}

TEST(ReloadWatch, AShadowCopyNamesTheProcessThatMadeItAndOtherNamesNone) {
    const struct {
        const char* name_end;
        std::optional<std::uint32_t> process;
    } rows[] = {
        {"1234-0.dll", 1234},        {"4294967292-17.dll", 4294967292u},
        {"1234.dll", std::nullopt},  {"1234-.dll", std::nullopt},
        {"-1-0.dll", std::nullopt},  {"4294967296-0.dll", std::nullopt},
        {"12x-0.dll", std::nullopt}, {"1234-0.dll.bak", std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(shadow_copy_process(row.name_end), row.process) << row.name_end;
}
