// When g1 publish gathers datagrams before a wait, and when it waits for the next one at once.
#include "tools/g1/sinks/publish/publish_pacing.h"

#include <gtest/gtest.h>

TEST(PublishPacing, GathersOnlyWhileDatagramsComeCloserThanTheGathering) {
    struct Wait {
        bool gathered;
        std::int64_t woke_us;  // each wait's writes take 10 us
        std::size_t taken;     // 64: a full wait, more are waiting
        bool gathering;        // expected after it: the next wait begins 500 us after the writes
    };
    const Wait waits[] = {{false, 10'000, 1, false},  {false, 10'300, 1, true},
                          {true, 10'810, 2, true},    {false, 20'000, 0, false},
                          {false, 20'300, 1, false},  {false, 20'900, 1, false},
                          {false, 21'000, 64, false}, {false, 21'010, 3, true}};
    PublishPacing pacing{500'000};
    for (const Wait& w : waits) {
        publish_pacing_note(pacing, w.gathered, w.woke_us * 1'000, w.taken, w.taken == 64,
                            w.woke_us * 1'000 + 10'000);
        EXPECT_EQ(pacing.next_wait_ns, w.gathering ? w.woke_us * 1'000 + 510'000 : 0) << w.woke_us;
    }
}
