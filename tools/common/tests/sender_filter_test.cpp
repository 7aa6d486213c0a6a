// The sender filter: what it accepts as an address or network, and whom it lets through.
#include "tools/common/sender_filter.h"

#include <gtest/gtest.h>

namespace {

SenderFilter filter_of(std::initializer_list<std::string_view> texts) {
    SenderFilter filter;
    for (std::string_view text : texts) {
        std::string error;
        EXPECT_TRUE(sender_filter_add(filter, text, error)) << text << ": " << error;
    }
    return filter;
}

constexpr std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a << 24 | b << 16 | c << 8 | d;
}

}  // namespace

TEST(SenderFilter, AnAddressAloneTakesThatSenderOnly) {
    const SenderFilter f = filter_of({"192.168.1.7"});
    EXPECT_TRUE(sender_filter_takes(f, ip(192, 168, 1, 7)));
    EXPECT_FALSE(sender_filter_takes(f, ip(192, 168, 1, 8)));
    EXPECT_EQ(sender_filter_text(f), "192.168.1.7/32");
}

TEST(SenderFilter, APrefixTakesTheWholeNetworkWhateverTheHostBitsGiven) {
    const SenderFilter f = filter_of({"10.1.2.99/23"});
    EXPECT_TRUE(sender_filter_takes(f, ip(10, 1, 2, 1)));
    EXPECT_TRUE(sender_filter_takes(f, ip(10, 1, 3, 254)));
    EXPECT_FALSE(sender_filter_takes(f, ip(10, 1, 4, 0)));
    EXPECT_FALSE(sender_filter_takes(f, ip(11, 1, 2, 1)));
    EXPECT_EQ(sender_filter_text(f), "10.1.2.0/23");
}

TEST(SenderFilter, SeveralNetworksTakeAnyOfThem) {
    const SenderFilter f = filter_of({"10.0.0.1", "192.168.0.0/16"});
    EXPECT_TRUE(sender_filter_takes(f, ip(10, 0, 0, 1)));
    EXPECT_TRUE(sender_filter_takes(f, ip(192, 168, 40, 2)));
    EXPECT_FALSE(sender_filter_takes(f, ip(10, 0, 0, 2)));
    EXPECT_EQ(sender_filter_text(f), "10.0.0.1/32 192.168.0.0/16");
}

TEST(SenderFilter, PrefixZeroAndNoFilterTakeEveryone) {
    EXPECT_TRUE(sender_filter_takes(filter_of({"1.2.3.4/0"}), ip(200, 1, 1, 1)));
    EXPECT_TRUE(sender_filter_takes(SenderFilter{}, ip(200, 1, 1, 1)));
    EXPECT_EQ(sender_filter_text(SenderFilter{}), "every sender");
}

TEST(SenderFilter, RefusesWhatIsNoDottedAddressOrPrefix) {
    for (const char* text : {"", "/8", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4/33", "1.2.3.4/",
                             "01.2.3.4", "1.2.3.4/08", "1..3.4", "1.2.3.4/24/8", "1.2.3.4/-1"}) {
        SenderFilter f;
        std::string error;
        EXPECT_FALSE(sender_filter_add(f, text, error)) << '"' << text << '"';
        EXPECT_TRUE(f.networks.empty());
    }
}
