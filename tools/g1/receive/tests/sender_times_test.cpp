// Per-sender running time: each sender on its own, in a table that does not grow without end.
#include "tools/g1/receive/sender_times.h"

#include <gtest/gtest.h>

TEST(SenderTimes, SenderHeardLeastRecentlyGivesUpItsPlaceWhenTheTableIsFull) {
    SenderTimes times;
    bool wrapped = false;
    for (std::uint32_t ip = 1; ip <= kSenderTableMax; ++ip) {
        sender_times_unwrap(times, ip, 1000, wrapped);
    }
    EXPECT_EQ(sender_times_unwrap(times, 1, 2000, wrapped), 2000);  // heard again
    sender_times_unwrap(times, 9999, 5, wrapped);                   // takes sender 2's place
    EXPECT_EQ(times.table.senders.size(), kSenderTableMax);
    EXPECT_EQ(sender_times_unwrap(times, 1, 3000, wrapped), 3000);
    // Sender 2 starts afresh: its first value is taken as it is, with no step from 1000.
    EXPECT_EQ(sender_times_unwrap(times, 2, -7, wrapped), -7);
}
