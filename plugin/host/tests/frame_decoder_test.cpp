// Framing of the host's stream: sizes, bounds and what each record keeps.
#include "plugin/host/frame_decoder.h"

#include "tools/message_stream/stream_builder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

std::vector<MessageRecord> decode(const StreamBuilder& b, std::uint32_t count) {
    std::vector<MessageRecord> records;
    decode_frame(b.bytes, count, records);
    return records;
}

bool value_zero_from(const MessageRecord& r, std::size_t offset) {
    for (std::size_t i = offset; i < kRecordValueSize; ++i) {
        if (r.value[i] != 0) return false;
    }
    return true;
}

std::array<std::uint8_t, 64> pattern(std::uint8_t first) {
    std::array<std::uint8_t, 64> p;
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(first + i);
    return p;
}

}  // namespace

TEST(FrameDecoder, CountZeroYieldsNoRecords) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0});
    EXPECT_TRUE(decode(b, 0).empty());
}

TEST(FrameDecoder, HeaderIsTakenOverByteForByte) {
    StreamBuilder b;
    b.doubles("Aircraft.Bank", {0.5}, 0x1234);
    b.bytes[4] = 0x77;  // reserved bytes are copied unchecked
    b.bytes[0] = 0x11;  // and so are the markers
    const auto records = decode(b, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::memcmp(&records[0], b.bytes.data(), kRecordHeaderSize), 0);
    EXPECT_EQ(records[0].id, message_id("Aircraft.Bank"));
    EXPECT_EQ(records[0].flags, 0x1234u);
    EXPECT_DOUBLE_EQ(record_double(records[0], 0), 0.5);
}

TEST(FrameDecoder, SizeSixtyFourHasNoValueAndNextStartsSixtyFourLater) {
    StreamBuilder b;
    b.none("Controls.Gear").integer("Aircraft.Mass", 7);
    const auto records = decode(b, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(value_zero_from(records[0], 0));
    EXPECT_EQ(record_int(records[1]), 7);
}

TEST(FrameDecoder, SizeEightyEightLeavesTheRestOfTheValueZero) {
    StreamBuilder b;
    b.doubles("Aircraft.Velocity", {1.0, 2.0, 3.0}).doubles("Simulation.Time", {9.0});
    const auto records = decode(b, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].size, 88);
    EXPECT_DOUBLE_EQ(record_double(records[0], 2), 3.0);
    EXPECT_TRUE(value_zero_from(records[0], 24));
    EXPECT_DOUBLE_EQ(record_double(records[1], 0), 9.0);
}

TEST(FrameDecoder, SizeOneTwentyEightFillsTheValueArea) {
    const auto p = pattern(1);
    StreamBuilder b;
    b.message(message_id("Aircraft.Name"), DataType::String, p.data(), p.size());
    b.none("View.Up");
    const auto records = decode(b, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(std::memcmp(records[0].value, p.data(), p.size()), 0);
    EXPECT_EQ(records[1].id, message_id("View.Up"));
}

TEST(FrameDecoder, SizeAbove128KeepsFramingAndTheFirst64ValueBytes) {
    std::array<std::uint8_t, 100> long_value{};
    for (std::size_t i = 0; i < long_value.size(); ++i) long_value[i] = 0xC0;
    StreamBuilder b;
    b.message(message_id("Aircraft.Name"), DataType::String, long_value.data(), long_value.size());
    b.doubles("Simulation.Time", {4.0});
    const auto records = decode(b, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].size, 164);
    EXPECT_EQ(records[0].value[63], 0xC0);
    EXPECT_EQ(records[1].id, message_id("Simulation.Time"));
    EXPECT_DOUBLE_EQ(record_double(records[1], 0), 4.0);
}

TEST(FrameDecoder, SizeBelow64EndsDecodingAndKeepsEarlierRecords) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0});
    b.raw(message_id("Aircraft.Bank"), DataType::Double, 63, nullptr, 0);
    b.doubles("Aircraft.Pitch", {2.0});
    const auto records = decode(b, 3);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].id, message_id("Simulation.Time"));
}

TEST(FrameDecoder, CountLargerThanTheStreamHoldsStopsAtTheEnd) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0}).doubles("Aircraft.Bank", {2.0});
    EXPECT_EQ(decode(b, 0xFFFFFFFFu).size(), 2u);
}

TEST(FrameDecoder, RecordRunningPastTheStreamIsNotDecoded) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0}).doubles("Aircraft.Velocity", {1.0, 2.0, 3.0});
    b.bytes.resize(b.bytes.size() - 1);  // last value byte missing
    EXPECT_EQ(decode(b, 2).size(), 1u);
    b.bytes.resize(72 + 10);  // second header cut short
    EXPECT_EQ(decode(b, 2).size(), 1u);
}

TEST(FrameDecoder, EmptyStreamYieldsNoRecords) {
    std::vector<MessageRecord> records(3);
    decode_frame({}, 5, records);
    EXPECT_TRUE(records.empty());
}

TEST(FrameDecoder, SameIdTwiceIsKeptTwiceInStreamOrder) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0}).doubles("Simulation.Time", {2.0});
    const auto records = decode(b, 2);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_DOUBLE_EQ(record_double(records[0], 0), 1.0);
    EXPECT_DOUBLE_EQ(record_double(records[1], 0), 2.0);
}

TEST(FrameDecoder, ListIsEmptiedButKeepsItsStorage) {
    StreamBuilder big;
    for (int i = 0; i < 50; ++i) big.doubles("Simulation.Time", {1.0});
    std::vector<MessageRecord> records;
    decode_frame(big.bytes, big.count, records);
    const MessageRecord* storage = records.data();
    StreamBuilder small;
    small.doubles("Aircraft.Bank", {1.0});
    decode_frame(small.bytes, small.count, records);
    EXPECT_EQ(records.size(), 1u);
    EXPECT_EQ(records.data(), storage);
}

TEST(MessageId, HighBytesEnterSignExtended) {
    // 0x80 widened as a signed byte sets the upper 56 bits before the multiply.
    constexpr std::uint64_t expected =
        ((kFnvOffsetBasis ^ 0xFFFFFFFFFFFFFF80ull) * kFnvPrime) * kFnvPrime;
    EXPECT_EQ(message_id("\x80"), expected);
}

TEST(FrameDecoder, EverySizeKeepsExactlyItsValueBytesWhereverTheStreamEnds) {
    const auto p = pattern(0x41);
    for (std::uint16_t size = 64; size <= 140; ++size) {
        const std::size_t announced = size - kRecordHeaderSize;
        const std::size_t kept = std::min<std::size_t>(announced, kRecordValueSize);
        std::vector<std::uint8_t> value(announced, 0);
        std::copy(p.begin(), p.begin() + kept, value.begin());
        for (bool more_follows : {false, true}) {
            StreamBuilder b;
            b.raw(message_id("Aircraft.Name"), DataType::String, size, value.data(), value.size());
            if (more_follows) {
                b.doubles("Simulation.Time", {1.0});  // bytes beyond the record to mask off
                std::fill(b.bytes.begin() + size, b.bytes.end(), 0xEE);
            }
            const auto records = decode(b, 1);
            ASSERT_EQ(records.size(), 1u) << "size " << size;
            EXPECT_EQ(std::memcmp(records[0].value, p.data(), kept), 0) << "size " << size;
            EXPECT_TRUE(value_zero_from(records[0], kept))
                << "size " << size << (more_follows ? " with more" : " at the end");
        }
    }
}

namespace {

// A frame of String records of the given size fields, each value byte set, so that a byte kept
// or cleared wrongly shows.
StreamBuilder frame_of_sizes(std::initializer_list<std::uint16_t> sizes) {
    const std::array<std::uint8_t, 200> value = [] {
        std::array<std::uint8_t, 200> v;
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(0xC0 + i);
        return v;
    }();
    StreamBuilder b;
    std::uint64_t id = 1;
    for (std::uint16_t size : sizes) {
        const std::size_t length = size > kRecordHeaderSize ? size - kRecordHeaderSize : 0;
        b.raw(id++, DataType::String, size, value.data(), length);
    }
    return b;
}

}  // namespace

// Decoding reuses the last frame's sizes to find the records ahead of their size fields; it
// must give exactly what decoding into empty storage gives, whatever the frame before was.
TEST(FrameDecoder, StorageKeptFromTheLastFrameDecodesAsEmptyStorage) {
    struct Case {
        const char* name;
        StreamBuilder last;
        StreamBuilder frame;
        std::size_t cut = 0;  // bytes taken off the end of the frame's stream
        std::uint32_t extra_count = 0;
    };
    const Case cases[] = {
        {"the same layout", frame_of_sizes({72, 88, 64, 128, 73}),
         frame_of_sizes({72, 88, 64, 128, 73})},
        {"a size changed", frame_of_sizes({72, 88, 64, 128, 73}),
         frame_of_sizes({72, 96, 64, 128, 73})},
        {"a size below 64 where 72 was", frame_of_sizes({72, 72, 72}),
         frame_of_sizes({72, 63, 72})},
        {"a size above 128 both times", frame_of_sizes({164, 72, 72}),
         frame_of_sizes({164, 72, 72})},
        {"more records than last time", frame_of_sizes({72, 72}),
         frame_of_sizes({72, 72, 88, 88, 128})},
        {"fewer records than last time", frame_of_sizes({88, 88, 88, 88, 88}),
         frame_of_sizes({88, 88}), 0, 3},
        {"the last record cut short", frame_of_sizes({128, 128, 128}),
         frame_of_sizes({128, 128, 128}), 1},
        {"a header cut short", frame_of_sizes({72, 72, 72}), frame_of_sizes({72, 72, 72}), 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> stream = c.frame.bytes;
        stream.resize(stream.size() - c.cut);
        const std::uint32_t count = c.frame.count + c.extra_count;
        std::vector<MessageRecord> kept;
        decode_frame(c.last.bytes, c.last.count, kept);
        ASSERT_EQ(kept.size(), c.last.count);
        decode_frame(stream, count, kept);
        std::vector<MessageRecord> fresh;
        decode_frame(stream, count, fresh);
        ASSERT_EQ(kept.size(), fresh.size());
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            EXPECT_EQ(std::memcmp(&kept[i], &fresh[i], sizeof(MessageRecord)), 0) << "record " << i;
        }
    }
}
