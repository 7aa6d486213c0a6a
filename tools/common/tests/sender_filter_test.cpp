// `--from`: the networks it takes, the texts it refuses.
#include "tools/common/sender_filter.h"

#include "tools/common/udp.h"

#include <gtest/gtest.h>

TEST(SenderFilter, TakesOnlySendersInsideTheNetworksGiven) {
    SenderFilter filter;
    EXPECT_TRUE(sender_filter_takes(filter, 0x0A000005));  // none given: every sender
    std::string error;
    ASSERT_TRUE(sender_filter_add(filter, "192.168.1.77/24", error)) << error;
    ASSERT_TRUE(sender_filter_add(filter, "10.0.0.5", error)) << error;
    EXPECT_EQ(sender_filter_text(filter), "192.168.1.0/24 10.0.0.5/32");
    EXPECT_TRUE(sender_filter_takes(filter, 0xC0A801FE));   // 192.168.1.254
    EXPECT_TRUE(sender_filter_takes(filter, 0x0A000005));   // 10.0.0.5
    EXPECT_FALSE(sender_filter_takes(filter, 0xC0A80201));  // 192.168.2.1
    EXPECT_FALSE(sender_filter_takes(filter, 0x0A000006));  // 10.0.0.6

    SenderFilter everyone;
    ASSERT_TRUE(sender_filter_add(everyone, "10.1.2.3/0", error)) << error;
    EXPECT_TRUE(sender_filter_takes(everyone, 0xFFFFFFFE));
}

TEST(SenderFilter, RefusesWhatIsNoAddressOrPrefix) {
    SenderFilter filter;
    std::string error;
    for (const char* bad : {"", "/24", "10.0.0.5/", "10.0.0.5/33", "10.0.0.5/-1", "10.0.0.5/2x",
                            "10.0.0.256", "10.0.0", "10.0.0.5.6", "010.0.0.5", "10..0.5"}) {
        EXPECT_FALSE(sender_filter_add(filter, bad, error)) << bad;
    }
    EXPECT_TRUE(filter.networks.empty());
}

TEST(SenderFilter, HostNameIsResolved) {
    std::string error;
    ASSERT_TRUE(udp_startup(error)) << error;
    SenderFilter filter;
    EXPECT_TRUE(sender_filter_add(filter, "localhost/8", error)) << error;
    EXPECT_TRUE(sender_filter_takes(filter, 0x7F000002));
    udp_cleanup();
}
