// The stream file: what is written reads back, and what is not a good file is refused.
#include "tools/tessel_host/stream_file.h"

#include "tools/message_stream/stream_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

StreamFrame frame_of(const StreamBuilder& b, double dt) {
    return {dt, b.count, b.bytes};
}

std::vector<StreamFrame> three_frames() {
    StreamBuilder one, two;
    one.doubles("Simulation.Time", {0.5}).text("Aircraft.Name", "Tessel Trainer");
    two.doubles("Aircraft.Velocity", {1.0, 2.0, 3.0}).none("Navigation.COM1FrequencySwap");
    return {frame_of(one, 1.0 / 60.0), frame_of(StreamBuilder{}, 0.0), frame_of(two, 0.25)};
}

std::string file_of(const std::vector<StreamFrame>& frames) {
    std::ostringstream out;
    stream_write_header(out);
    for (const StreamFrame& f : frames) stream_write_frame(out, f);
    return out.str();
}

// Reads a whole file image; the error, or "" when every frame was good.
std::string read_stream(const std::string& image, std::vector<StreamFrame>* frames = nullptr) {
    std::istringstream in(image);
    StreamReader reader{&in};
    std::string error;
    if (stream_read_header(reader, error) != StreamRead::Frame) return error;
    StreamFrame frame;
    StreamRead read;
    while ((read = stream_read_frame(reader, frame, error)) == StreamRead::Frame) {
        if (frames != nullptr) frames->push_back(frame);
    }
    return read == StreamRead::End ? "" : error;
}

template <typename T>
void poke(std::string& image, std::size_t offset, T value) {
    std::memcpy(image.data() + offset, &value, sizeof value);
}

constexpr std::size_t kFirstFrame = kStreamHeaderSize;

}  // namespace

TEST(StreamFile, FramesReadBackAsWritten) {
    const std::vector<StreamFrame> written = three_frames();
    std::vector<StreamFrame> read;
    ASSERT_EQ(read_stream(file_of(written), &read), "");
    ASSERT_EQ(read.size(), written.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].dt, written[i].dt);
        EXPECT_EQ(read[i].count, written[i].count);
        EXPECT_EQ(read[i].bytes, written[i].bytes);
    }
}

TEST(StreamFile, HeaderIsMagicVersionAndFlags) {
    const std::string image = file_of({});
    ASSERT_EQ(image.size(), kStreamHeaderSize);
    EXPECT_EQ(image, std::string("TSTREAM\x1a\x01\0\0\0\0\0\0\0", 16));
}

TEST(StreamFile, EveryCutInsideAFrameIsReportedAsTruncated) {
    const std::string image = file_of(three_frames());
    std::vector<std::size_t> boundaries = {kFirstFrame};
    for (const StreamFrame& f : three_frames()) {
        boundaries.push_back(boundaries.back() + kStreamFrameHeaderSize + f.bytes.size());
    }
    for (std::size_t cut = kFirstFrame; cut < image.size(); ++cut) {
        const std::string error = read_stream(image.substr(0, cut));
        const bool at_boundary =
            std::find(boundaries.begin(), boundaries.end(), cut) != boundaries.end();
        if (at_boundary) {
            EXPECT_EQ(error, "") << "cut at " << cut;
        } else {
            EXPECT_TRUE(error.starts_with("truncated: frame "))
                << "cut at " << cut << ": " << error;
        }
    }
}

TEST(StreamFile, ForeignFilesAreRefused) {
    const std::string good = file_of({});
    for (const std::string& foreign :
         {std::string(), std::string("TSTR"), std::string("\x89PNG\r\n\x1a\n and more bytes..."),
          std::string("MZ\x90\0\x03\0\0\0\x04\0\0\0\xff\xff\0\0", 16)}) {
        EXPECT_TRUE(read_stream(foreign).starts_with("not a stream file"));
    }
    EXPECT_TRUE(read_stream(good.substr(0, 10)).starts_with("truncated: the file header"));
}

TEST(StreamFile, OtherVersionsAndUnknownFlagsAreRefused) {
    std::string v2 = file_of({});
    poke<std::uint32_t>(v2, 8, 2);
    EXPECT_EQ(read_stream(v2), "stream file version 2; this host reads version 1");
    std::string flagged = file_of({});
    poke<std::uint32_t>(flagged, 12, 1);
    EXPECT_EQ(read_stream(flagged), "stream file flags 1 are unknown to version 1");
}

TEST(StreamFile, FrameHeadersOutsideTheirLimitsAreRefused) {
    const std::string good = file_of(three_frames());
    const std::size_t dt = kFirstFrame, count = kFirstFrame + 8, length = kFirstFrame + 12;
    std::string nan_dt = good, negative_dt = good, long_dt = good, huge = good, crowded = good;
    poke(nan_dt, dt, std::nan(""));
    poke(negative_dt, dt, -0.001);
    poke(long_dt, dt, 61.0);
    poke<std::uint32_t>(huge, length, kStreamMaxFrameBytes + 1);
    poke<std::uint32_t>(crowded, count, 1000);
    for (const std::string& bad : {nan_dt, negative_dt, long_dt}) {
        EXPECT_NE(read_stream(bad).find("is not 0 to 60 seconds"), std::string::npos);
    }
    EXPECT_NE(read_stream(huge).find("more than a frame may hold"), std::string::npos);
    EXPECT_NE(read_stream(crowded).find("1000 records cannot fit"), std::string::npos);
}

TEST(StreamFile, RecordsMustFillTheirFrameExactly) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0}).doubles("Aircraft.Bank", {0.5});
    std::string error;
    EXPECT_TRUE(stream_records_fill(b.bytes, 2, error));
    EXPECT_FALSE(stream_records_fill(b.bytes, 1, error));
    EXPECT_EQ(error, "72 bytes follow the last record");
    EXPECT_FALSE(stream_records_fill(b.bytes, 3, error));
    EXPECT_EQ(error, "record 3 of 3 lies beyond the frame's bytes");
    StreamBuilder small;
    small.raw(1, DataType::Void, 63, nullptr, 0);
    EXPECT_FALSE(stream_records_fill(small.bytes, 1, error));
    EXPECT_EQ(error, "record 1 has size 63, which does not fit the frame");
}

TEST(StreamFile, LoadingAMissingFileSaysWhich) {
    std::vector<StreamFrame> frames;
    std::string error;
    EXPECT_FALSE(stream_file_load("no/such/file.tstream", frames, error));
    EXPECT_EQ(error, "cannot open no/such/file.tstream");
}
