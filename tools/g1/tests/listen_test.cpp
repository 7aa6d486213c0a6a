// What `g1 listen` prints for good and malformed datagrams, and its summary.
#include "tools/g1/listen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace {

constexpr const char* kWorkedExample = "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,";
constexpr std::int64_t kMs = 1000000;

}  // namespace

TEST(FixedPointText, WritesScaledIntegersExactly) {
    EXPECT_EQ(fixed_point_text(-12, 3), "-0.012");
    EXPECT_EQ(fixed_point_text(3141, 3), "3.141");
    EXPECT_EQ(fixed_point_text(0, 3), "0.000");
    EXPECT_EQ(fixed_point_text(std::numeric_limits<std::int32_t>::min(), 3), "-2147483.648");
    EXPECT_EQ(fixed_point_text(1500000, 6), "1.500000");
    EXPECT_EQ(fixed_point_text(std::numeric_limits<std::int64_t>::min(), 6),
              "-9223372036854.775808");
}

TEST(Listen, CsvLineIsTheDatagramInUnits) {
    ListenStats stats;
    const ListenLines lines = listen_take(stats, ListenFormat::Csv, kWorkedExample, 0);
    EXPECT_EQ(
        lines.out,
        "1.500000,0.000,0.000,0.000,-0.012,0.000,3.141,0.000,0.000,0.000,0.000,0.000,0.000\n");
    EXPECT_EQ(lines.err, "");
}

TEST(Listen, TableRowsOfShortAndLongestValuesAreAsWideAsTheHeader) {
    ListenStats stats;
    G1Fields lowest;
    lowest.fill(std::numeric_limits<std::int32_t>::min());
    const std::string header = listen_header(ListenFormat::Table);
    for (const std::string& datagram :
         {std::string(kWorkedExample), std::string(g1_format(lowest).view())}) {
        const std::string row = listen_take(stats, ListenFormat::Table, datagram, 0).out;
        EXPECT_EQ(row.size(), header.size()) << row;
    }
}

TEST(Listen, MalformedDatagramIsReportedAndTheListenerGoesOn) {
    ListenStats stats;
    const ListenLines bad = listen_take(stats, ListenFormat::Csv, "G1,1,2,3\n", 0);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "malformed datagram 1 (9 bytes): field 3: unexpected character (byte 8): "
              "\"G1,1,2,3\\x0a\"\n");
    EXPECT_FALSE(listen_take(stats, ListenFormat::Csv, kWorkedExample, 1).out.empty());
    EXPECT_EQ(stats.datagrams, 2u);
    EXPECT_EQ(stats.malformed, 1u);
}

TEST(Listen, TimeColumnRunsOnAcrossTheWrapAndSaysSo) {
    ListenStats stats;
    const std::string before = "G1,2147483000,0,0,0,0,0,0,0,0,0,0,0,0,";
    const std::string after = "G1,-2147483000,0,0,0,0,0,0,0,0,0,0,0,0,";
    EXPECT_TRUE(listen_take(stats, ListenFormat::Csv, before, 0).out.starts_with("2147.483000,"));
    const ListenLines wrapped = listen_take(stats, ListenFormat::Csv, after, 1);
    EXPECT_TRUE(wrapped.out.starts_with("2147.484296,")) << wrapped.out;
    EXPECT_NE(wrapped.err.find("wrapped at datagram 2"), std::string::npos) << wrapped.err;
}

TEST(Listen, SummaryGivesRateLargestGapAndFaults) {
    ListenStats stats;
    listen_take(stats, ListenFormat::Csv, kWorkedExample, 100 * kMs);
    listen_take(stats, ListenFormat::Csv, "junk", 110 * kMs);
    listen_take(stats, ListenFormat::Csv, kWorkedExample, 140 * kMs);
    EXPECT_EQ(listen_summary(stats),
              "3 datagrams, 1 malformed, 50.0 Hz, largest gap 30.0 ms; time unwrapped from the "
              "32-bit field (0 wraps)\n");
}

TEST(Listen, SummaryOfNothingReceivedHasNoRate) {
    EXPECT_TRUE(listen_summary(ListenStats{}).starts_with("0 datagrams, 0 malformed, 0.0 Hz"));
}
