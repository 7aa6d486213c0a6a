// `--from`: the networks it takes, the texts it refuses.
#include "tools/g1/receive/sender_filter.h"

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

namespace {

// Stands in for the system's resolver: every name has two addresses.
bool two_addresses(const std::string&, std::vector<std::uint32_t>& ips, std::string&) {
    ips.insert(ips.end(), {0x0A000005, 0xC0A80107});  // 10.0.0.5, 192.168.1.7
    return true;
}

}  // namespace

TEST(SenderFilter, RefusesWhatIsNoAddressOrPrefix) {
    SenderFilter filter;
    std::string error;
    // Numeric forms other than a.b.c.d are refused, never handed to the resolver (which takes
    // anything here).
    for (const char* bad :
         {"", "/24", "10.0.0.5/", "10.0.0.5/33", "10.0.0.5/-1", "10.0.0.5/2x", "10.0.0.256",
          "10.0.0", "10.0.0.5.6", "010.0.0.5", "10..0.5", "10.0.0.5.", "0x7f.1", "0x7F000001",
          "127.0.0.0x1", "0x7f.0.0.1.", "2130706433"}) {
        EXPECT_FALSE(sender_filter_add(filter, bad, error, two_addresses)) << bad;
    }
    EXPECT_TRUE(filter.networks.empty());
}

TEST(SenderFilter, HostNameAdmitsEachOfItsAddresses) {
    SenderFilter filter;
    std::string error;
    ASSERT_TRUE(sender_filter_add(filter, "sim.example", error, two_addresses)) << error;
    ASSERT_TRUE(sender_filter_add(filter, "3com.example/8", error, two_addresses)) << error;
    EXPECT_EQ(sender_filter_text(filter), "10.0.0.5/32 192.168.1.7/32 10.0.0.0/8 192.0.0.0/8");
    EXPECT_TRUE(sender_filter_takes(filter, 0xC0A80107));
}

TEST(SenderFilter, HostNameIsResolved) {
    std::string error;
    ASSERT_TRUE(udp_startup(error)) << error;
    SenderFilter filter;
    EXPECT_TRUE(sender_filter_add(filter, "localhost/8", error)) << error;
    EXPECT_TRUE(sender_filter_takes(filter, 0x7F000002));
    udp_cleanup();
}
