// What `g1 listen` prints for good and malformed datagrams, and its summary.
#include "tools/g1/sinks/text/listen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace {

constexpr const char* kWorkedExample = "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,";
constexpr std::int64_t kMs = 1000000;
constexpr std::uint32_t kSender = 0x0A000005;  // 10.0.0.5

}  // namespace

TEST(FixedPointText, WritesScaledIntegersExactly) {
    EXPECT_EQ(fixed_point_text(-12, 3), "-0.012");
    EXPECT_EQ(fixed_point_text(3141, 3), "3.141");
    EXPECT_EQ(fixed_point_text(0, 3), "0.000");
    EXPECT_EQ(fixed_point_text(std::numeric_limits<std::int32_t>::min(), 3), "-2147483.648");
    EXPECT_EQ(fixed_point_text(1500000, 6), "1.500000");
    EXPECT_EQ(fixed_point_text(-12, 0), "-12");  // no point without decimals
    EXPECT_EQ(fixed_point_text(std::numeric_limits<std::int64_t>::min(), 6),
              "-9223372036854.775808");
}

TEST(Listen, CsvLineIsTheDatagramInUnits) {
    ListenStats stats;
    EXPECT_EQ(listen_header(ListenFormat::Csv),
              "time_s,velocity_x,velocity_y,velocity_z,bank,pitch,true_heading,angular_velocity_x,"
              "angular_velocity_y,angular_velocity_z,acceleration_x,acceleration_y,"
              "acceleration_z\n");
    const ListenLines lines = listen_take(stats, ListenFormat::Csv, kWorkedExample, kSender, 0);
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
        const std::string row = listen_take(stats, ListenFormat::Table, datagram, kSender, 0).out;
        EXPECT_EQ(row.size(), header.size()) << row;
    }
}

TEST(Listen, MalformedDatagramIsReportedAndTheListenerGoesOn) {
    ListenStats stats;
    const ListenLines bad = listen_take(stats, ListenFormat::Csv, "G1,1,2,3\n", kSender, 0);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err,
              "malformed datagram 1 (9 bytes): field 3: unexpected character (byte 8): "
              "\"G1,1,2,3\\x0a\"\n");
    EXPECT_FALSE(listen_take(stats, ListenFormat::Csv, kWorkedExample, kSender, 1).out.empty());
    EXPECT_EQ(stats.receiver.counts.datagrams, 2u);
    EXPECT_EQ(stats.receiver.counts.malformed, 1u);
}

TEST(Listen, TimeColumnRunsOnAcrossTheWrapAndSaysSo) {
    ListenStats stats;
    const std::string before = "G1,2147483000,0,0,0,0,0,0,0,0,0,0,0,0,";
    const std::string after = "G1,-2147483000,0,0,0,0,0,0,0,0,0,0,0,0,";
    EXPECT_TRUE(
        listen_take(stats, ListenFormat::Csv, before, kSender, 0).out.starts_with("2147.483000,"));
    const ListenLines wrapped = listen_take(stats, ListenFormat::Csv, after, kSender, 1);
    EXPECT_TRUE(wrapped.out.starts_with("2147.484296,")) << wrapped.out;
    EXPECT_NE(wrapped.err.find("of 10.0.0.5 wrapped at datagram 2"), std::string::npos)
        << wrapped.err;
}

TEST(Listen, EachSenderKeepsItsOwnRunningTime) {
    // A second simulator on the network, 40 minutes behind, between two of the first's datagrams.
    ListenStats stats;
    const std::uint32_t other = 0x0A000006;
    const auto time_of = [&](const char* datagram, std::uint32_t sender) {
        const ListenLines lines = listen_take(stats, ListenFormat::Csv, datagram, sender, 0);
        EXPECT_EQ(lines.err, "");
        return lines.out.substr(0, lines.out.find(','));
    };
    EXPECT_EQ(time_of("G1,2147000000,0,0,0,0,0,0,0,0,0,0,0,0,", kSender), "2147.000000");
    EXPECT_EQ(time_of("G1,-452516352,0,0,0,0,0,0,0,0,0,0,0,0,", other), "-452.516352");
    EXPECT_EQ(time_of("G1,2147016000,0,0,0,0,0,0,0,0,0,0,0,0,", kSender), "2147.016000");
    EXPECT_EQ(stats.receiver.times.wraps, 0u);
}

TEST(Listen, SummaryGivesRateLargestGapAndFaults) {
    ListenStats stats;
    listen_take(stats, ListenFormat::Csv, kWorkedExample, kSender, 100 * kMs);
    listen_take(stats, ListenFormat::Csv, "junk", kSender, 110 * kMs);
    listen_take(stats, ListenFormat::Csv, kWorkedExample, kSender, 140 * kMs);
    EXPECT_EQ(listen_summary(stats),
              "3 datagrams, 1 malformed, 50.0 Hz, largest gap 30.0 ms; time unwrapped from the "
              "32-bit field (0 wraps)\n"
              "  10.0.0.5: 3 datagrams, 1 malformed, gap p50 10.6 ms p99 30.0 ms, 0 frames lost "
              "(frame 0.0 ms), 1 pauses, 0 time wraps, drift -0.040 s\n");
}

TEST(Listen, SummaryOfNothingReceivedHasNoRate) {
    EXPECT_TRUE(listen_summary(ListenStats{}).starts_with("0 datagrams, 0 malformed, 0.0 Hz"));
}

TEST(Listen, SummaryNamesASenderFromZeroThisMachine) {
    ListenStats stats;  // a broadcast on this machine's own loopback comes from 0.0.0.0
    listen_take(stats, ListenFormat::Csv, kWorkedExample, 0, 0);
    EXPECT_NE(listen_summary(stats).find("\n  this machine: 1 datagrams"), std::string::npos);
}
