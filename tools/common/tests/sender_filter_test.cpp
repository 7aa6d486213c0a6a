// The sender filter: what it accepts as an address or network, and whom it lets through.
#include "tools/common/sender_filter.h"

#include <gtest/gtest.h>

namespace {

SenderFilter parsed(std::string_view text) {
    SenderFilter filter;
    std::string error;
    EXPECT_TRUE(sender_filter_parse(text, filter, error)) << text << ": " << error;
    return filter;
}

constexpr std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a << 24 | b << 16 | c << 8 | d;
}

}  // namespace

TEST(SenderFilter, AnAddressAloneTakesThatSenderOnly) {
    const SenderFilter f = parsed("192.168.1.7");
    EXPECT_TRUE(sender_filter_allows(f, ip(192, 168, 1, 7)));
    EXPECT_FALSE(sender_filter_allows(f, ip(192, 168, 1, 8)));
    EXPECT_EQ(sender_filter_text(f), "192.168.1.7/32");
}

TEST(SenderFilter, APrefixTakesTheWholeNetworkWhateverTheHostBitsGiven) {
    const SenderFilter f = parsed("10.1.2.99/23");
    EXPECT_TRUE(sender_filter_allows(f, ip(10, 1, 2, 1)));
    EXPECT_TRUE(sender_filter_allows(f, ip(10, 1, 3, 254)));
    EXPECT_FALSE(sender_filter_allows(f, ip(10, 1, 4, 0)));
    EXPECT_FALSE(sender_filter_allows(f, ip(11, 1, 2, 1)));
    EXPECT_EQ(sender_filter_text(f), "10.1.2.0/23");
}

TEST(SenderFilter, PrefixZeroAndTheDefaultTakeEveryone) {
    EXPECT_TRUE(sender_filter_allows(parsed("1.2.3.4/0"), ip(200, 1, 1, 1)));
    EXPECT_TRUE(sender_filter_allows(SenderFilter{}, ip(200, 1, 1, 1)));
    EXPECT_EQ(sender_filter_text(SenderFilter{}), "any sender");
}

TEST(SenderFilter, RefusesWhatIsNoDottedAddressOrPrefix) {
    for (const char* text :
         {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4/33", "1.2.3.4/", "01.2.3.4", "1.2.3.4/08",
          "-1.2.3.4", "1.2.3.4 ", "host.local", "1..3.4", "1.2.3.4/24/8"}) {
        SenderFilter f;
        std::string error;
        EXPECT_FALSE(sender_filter_parse(text, f, error)) << '"' << text << '"';
        EXPECT_NE(error.find("is not an IPv4 address"), std::string::npos);
    }
}
