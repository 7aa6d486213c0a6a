// The listing of one repaint: header, line numbers, value texts, names and positions.
#include "plugin/monitor/frame_listing.h"

#include "plugin/host/frame_decoder.h"
#include "tools/message_stream/stream_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Every integer digit of 1e300 as stored, as "%.3f" prints them before the point.
constexpr char kDigitsOf1e300[] =
    "10000000000000000525047602552044202487044685811081591549158541155118024579889081957863713750"
    "80447864043704443832883878176942523235360430575644792184786706982848387200926575803737830233"
    "79478809005936895323497079994508111903896764088007465274278014249457925878882005684283811566"
    "9472196386865459400540160";

std::vector<MessageRecord> records_of(const StreamBuilder& stream) {
    std::vector<MessageRecord> records;
    decode_frame(stream.bytes, stream.count, records);
    return records;
}

std::string text_of(const ListingItem& item) {
    return std::string(item.text, item.length);
}

struct Listed {
    std::unique_ptr<FrameListing> listing = std::make_unique<FrameListing>();

    const ListingItem& item(std::size_t index) const { return listing->items[index]; }
    const ListingItem& number(std::size_t line) const { return item(1 + 3 * line); }
    const ListingItem& value(std::size_t line) const { return item(2 + 3 * line); }
    const ListingItem& name(std::size_t line) const { return item(3 + 3 * line); }
};

Listed list(const StreamBuilder& stream, double dt = 0.0, std::uint64_t counter = 1) {
    Listed listed;
    frame_listing_build(*listed.listing, records_of(stream), dt, counter);
    return listed;
}

// The value text of a frame holding the one record that `stream` describes.
std::string value_of(const StreamBuilder& stream) {
    return text_of(list(stream).value(0));
}

std::string double_text(double v) {
    return value_of(StreamBuilder().doubles("Aircraft.Pitch", {v}));
}

}  // namespace

TEST(FrameListing, EmptyFrameShowsOnlyTheHeader) {
    const Listed listed = list(StreamBuilder());
    ASSERT_EQ(listed.listing->count, 1u);
    EXPECT_EQ(text_of(listed.item(0)), "messages = 0  dt=0.000000  counter=1");
    EXPECT_EQ(listed.item(0).x, 10.0f);
    EXPECT_EQ(listed.item(0).y, 4.0f);
}

TEST(FrameListing, HeaderCountsRecordsAndShowsTimeStepAndCounter) {
    StreamBuilder stream;
    stream.none("View.Up").none("View.Up").none("View.Up");
    const Listed listed = list(stream, 1.0 / 60.0, 18446744073709551615ull);
    EXPECT_EQ(text_of(listed.item(0)), "messages = 3  dt=0.016667  counter=18446744073709551615");
}

TEST(FrameListing, RecordLineHasNumberValueAndNameInTheirColumns) {
    const Listed listed = list(StreamBuilder().doubles("Aircraft.Pitch", {0.5}, 42));
    ASSERT_EQ(listed.listing->count, 4u);
    EXPECT_EQ(text_of(listed.number(0)), "  1:");
    EXPECT_EQ(text_of(listed.value(0)), "v=0.500");
    EXPECT_EQ(text_of(listed.name(0)), "'Aircraft.Pitch'  flags=42");
    EXPECT_EQ(listed.number(0).x, 0.0f);
    EXPECT_EQ(listed.value(0).x, 40.0f);
    EXPECT_EQ(listed.name(0).x, 300.0f);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(listed.item(i).y, 20.0f);
    }
}

TEST(FrameListing, IdInNoEntryIsNamedUnknown) {
    StreamBuilder stream;
    stream.raw(0x1234, DataType::Void, 64, nullptr, 0, 18446744073709551615ull);
    EXPECT_EQ(text_of(list(stream).name(0)), "'unknown'  flags=18446744073709551615");
}

TEST(FrameListing, HundredRecordsList67LinesEndingAt1076) {
    StreamBuilder stream;
    for (int i = 0; i < 100; ++i) {
        stream.integer("Simulation.Time", i);
    }
    const Listed listed = list(stream);
    ASSERT_EQ(listed.listing->count, 1u + 3u * 67u);
    EXPECT_EQ(text_of(listed.item(0)).substr(0, 15), "messages = 100 ");
    EXPECT_EQ(text_of(listed.number(0)), "  1:");
    EXPECT_EQ(text_of(listed.number(9)), " 10:");
    EXPECT_EQ(listed.number(1).y, 36.0f);
    EXPECT_EQ(text_of(listed.number(66)), " 67:");
    EXPECT_EQ(text_of(listed.value(66)), "v=66");
    EXPECT_EQ(listed.number(66).y, 1076.0f);
    EXPECT_EQ(listed.name(66).y, 1076.0f);
}

TEST(FrameListingValue, FollowsTheDataType) {
    EXPECT_EQ(value_of(StreamBuilder().none("View.Up")), "void");
    EXPECT_EQ(value_of(StreamBuilder().integer("View.Mode", -5)), "v=-5");
    EXPECT_EQ(
        value_of(StreamBuilder().integer("View.Mode", std::numeric_limits<std::int64_t>::min())),
        "v=-9223372036854775808");
    EXPECT_EQ(value_of(StreamBuilder().doubles("View.Zoom", {0.5})), "v=0.500");
    EXPECT_EQ(value_of(StreamBuilder().doubles("View.Pan.Center", {1.0, -2.25})),
              "v=(1.000 -2.250)");
    EXPECT_EQ(value_of(StreamBuilder().doubles("View.Position", {1.0, 2.0, 3.0})),
              "v=(1.000 2.000 3.000)");
    EXPECT_EQ(value_of(StreamBuilder().doubles("View.Up", {1.0, 2.0, 3.0, 4.0})),
              "v=(1.000 2.000 3.000 4.000)");
    EXPECT_EQ(value_of(StreamBuilder().text("Aircraft.Name", "glider")), "s='glider'");
    EXPECT_EQ(value_of(StreamBuilder().wide_text("Aircraft.Name", {u'j', u'e', u't'})), "s='jet'");
}

TEST(FrameListingValue, TypeAbove7ShowsItsCode) {
    StreamBuilder stream;
    stream.text("Aircraft.Name", "stale");
    stream.raw(message_id("View.Up"), static_cast<DataType>(8), 64, nullptr, 0);
    stream.raw(message_id("View.Up"), static_cast<DataType>(255), 64, nullptr, 0);
    const Listed listed = list(stream);
    EXPECT_EQ(text_of(listed.value(1)), "type=8");
    EXPECT_EQ(text_of(listed.value(2)), "type=255");
}

TEST(FrameListingValue, DoublesRoundTheirExactBinaryValue) {
    EXPECT_EQ(double_text(0.1235), "v=0.123");  // stored just below ...235
    EXPECT_EQ(double_text(2.0005), "v=2.001");  // stored just above ...005
    EXPECT_EQ(double_text(1e22), "v=10000000000000000000000.000");
}

TEST(FrameListingValue, NegativeZeroKeepsItsSign) {
    EXPECT_EQ(double_text(-0.0), "v=-0.000");
    EXPECT_EQ(double_text(-0.0004), "v=-0.000");
}

TEST(FrameListingValue, NanAndInfinitiesAreSpelledOneWay) {
    EXPECT_EQ(value_of(StreamBuilder().doubles("View.Position", {kNan, kInf, -kInf})),
              "v=(nan inf -inf)");
    EXPECT_EQ(double_text(-kNan), "v=nan");
}

TEST(FrameListing, HeaderShowsNanTimeStepAsNan) {
    EXPECT_EQ(text_of(list(StreamBuilder(), kNan).item(0)), "messages = 0  dt=nan  counter=1");
}

TEST(FrameListingText, StringFillingTheValueAreaShowsAll64Bytes) {
    const std::string full(64, 'x');
    EXPECT_EQ(value_of(StreamBuilder().text("Aircraft.Name", full)), "s='" + full + "'");
}

TEST(FrameListingText, StringEndsAtItsFirstZeroByte) {
    const char bytes[] = {'a', 'b', 'c', 'd', 'e', '\0', 'f', 'g'};
    StreamBuilder stream;
    stream.message(message_id("Aircraft.Name"), DataType::String, bytes, sizeof bytes);
    EXPECT_EQ(value_of(stream), "s='abcde'");
}

TEST(FrameListingText, StringBytesAbove127PassThrough) {
    EXPECT_EQ(value_of(StreamBuilder().text("Aircraft.Name", "caf\xE9\xFF")), "s='caf\xE9\xFF'");
}

TEST(FrameListingText, WideUnitsAbove255BecomeQuestionMarks) {
    EXPECT_EQ(value_of(StreamBuilder().wide_text("Aircraft.Name", {u'A', u'\u00E9', u'\u4E2D', 0})),
              "s='A\xE9?'");
}

TEST(FrameListingText, SurrogatePairBecomesTwoQuestionMarks) {
    EXPECT_EQ(value_of(StreamBuilder().wide_text("Aircraft.Name", {0xD83D, 0xDE00})), "s='\?\?'");
}

TEST(FrameListingText, WideStringFillingTheValueAreaShows32Characters) {
    StreamBuilder stream;
    const std::vector<char16_t> units(32, u'w');
    stream.message(message_id("Aircraft.Name"), DataType::WideString, units.data(), 64);
    EXPECT_EQ(value_of(stream), "s='" + std::string(32, 'w') + "'");
}

TEST(FrameListingText, TextLongerThan254CharactersKeepsItsFirst254) {
    const Listed listed = list(StreamBuilder().doubles("View.Up", {1e300, 1e300, 1e300, 1e300}));
    const ListingItem& value = listed.value(0);
    EXPECT_EQ(value.length, 254u);
    EXPECT_EQ(value.text[254], '\0');
    EXPECT_EQ(text_of(value), "v=(" + std::string(kDigitsOf1e300).substr(0, 251));
}

TEST(FrameListingTake, ListsTheLatestPublishedFrameWithItsStepAndTheRepaintCount) {
    FrameExchange exchange;
    frame_exchange_publish(exchange, records_of(StreamBuilder().none("View.Up").none("View.Up")),
                           0.02);
    Listed listed;
    frame_listing_take(*listed.listing, exchange);
    EXPECT_EQ(text_of(listed.item(0)), "messages = 2  dt=0.020000  counter=1");
    EXPECT_EQ(listed.listing->count, 1 + 2 * kListingItemsPerLine);
    frame_listing_take(*listed.listing, exchange);
    EXPECT_EQ(text_of(listed.item(0)), "messages = 2  dt=0.020000  counter=2");
}
