// The G1 datagram: gathering by id, the conversion rules and the exact text.
#include "plugin/telemetry/g1_datagram.h"
#include "plugin/telemetry/g1_field_table.h"

#include "plugin/host/frame_decoder.h"
#include "testing/worked_example.h"
#include "tools/message_stream/stream_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

std::string datagram_of(const StreamBuilder& b) {
    std::vector<MessageRecord> records;
    decode_frame(b.bytes, b.count, records);
    return std::string(g1_datagram(records).view());
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

TEST(G1Conversion, FollowsSinglePrecisionTruncationAndRangeRules) {
    struct Case {
        double input;
        std::int32_t expected;
    };
    const Case cases[] = {
        {-0.0125, -12},
        {3.14159, 3141},
        {0.29999999999, 300},
        {2147483.0, 2147483008},
        {2147484.0, INT32_MIN},
        {-2147484.0, INT32_MIN},
        {kNaN, INT32_MIN},
        {kInf, INT32_MIN},
        {-kInf, INT32_MIN},
        {-0.0004, 0},
        {0.0, 0},
        {-1.0, -1000},
        {-2147483.0, -2147483008},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(g1_scale(c.input), c.expected) << "input " << c.input;
    }
}

TEST(G1Conversion, TimeIsMicrosecondsWrappedToThirtyTwoBits) {
    struct Case {
        double input;
        std::int32_t expected;
    };
    const Case cases[] = {
        {1.5, 1500000},
        {3000.0, -1294967296},
        {-1.0, -1000000},
        {kNaN, 0},
        {kInf, 0},
        {-kInf, 0},
        {1e19, 0},
        {0.0, 0},
        {2147.0, 2147000064},  // single precision: steps of 128 near 2^31
    };
    for (const Case& c : cases) {
        EXPECT_EQ(g1_scale_time(c.input), c.expected) << "input " << c.input;
    }
}

TEST(G1Datagram, WorkedExampleIsExact) {
    const std::string text = datagram_of(worked_example_frame());
    EXPECT_EQ(text, kWorkedExampleDatagram);
    EXPECT_EQ(text.size(), 40u);
}

TEST(G1Datagram, FieldsFollowTheDatagramOrder) {
    StreamBuilder b;
    b.doubles("Aircraft.Pitch", {0.006})
        .doubles("Aircraft.Bank", {0.005})
        .doubles("Aircraft.TrueHeading", {0.007})
        .doubles("Aircraft.Velocity", {0.002, 0.003, 0.004})
        .doubles("Aircraft.AngularVelocity", {0.008, 0.009, 0.010})
        .doubles("Aircraft.Acceleration", {0.011, 0.012, 0.013})
        .doubles("Simulation.Time", {0.000001});
    EXPECT_EQ(datagram_of(b), "G1,1,2,3,4,5,6,7,8,9,10,11,12,13,");
}

// The receivers' field table names the sample value that g1_fields writes at each position.
TEST(G1FieldTable, EachPositionIsTheSampleValueTheTableNamesTimesItsScale) {
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        const G1Field& field = kG1FieldTable[i];
        TelemetrySample sample{};
        const double one = 1.0;
        std::memcpy(reinterpret_cast<char*>(&sample) + field.sample_offset, &one, sizeof one);
        G1Fields expected{};
        expected[i] = field.scale;
        EXPECT_EQ(g1_fields(sample), expected) << field.name;
    }
}

TEST(G1Datagram, FrameWithoutRecordsGivesNothingToSend) {
    EXPECT_EQ(g1_datagram({}).length, 0u);
}

TEST(G1Datagram, FrameWithoutTrackedMessagesIsAllZero) {
    StreamBuilder b;
    b.doubles("Aircraft.Altitude", {1000.0}).doubles("Aircraft.Gravity", {1.0, 2.0, 3.0});
    const std::string text = datagram_of(b);
    EXPECT_EQ(text, "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,");
    EXPECT_EQ(text.size(), kG1MinLength);
}

TEST(G1Datagram, LaterRecordOfTheSameIdWins) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0}).doubles("Simulation.Time", {2.0});
    EXPECT_EQ(datagram_of(b), "G1,2000000,0,0,0,0,0,0,0,0,0,0,0,0,");
}

TEST(G1Datagram, VectorWithOneDoubleGivesZeroForTheOtherComponents) {
    StreamBuilder b;
    b.doubles("Aircraft.Velocity", {1.0});
    EXPECT_EQ(datagram_of(b), "G1,0,1000,0,0,0,0,0,0,0,0,0,0,0,");
}

TEST(G1Datagram, TrackedIdIsReadAsDoublesWhateverItsType) {
    double bits = 2.5;
    std::int64_t as_int;
    std::memcpy(&as_int, &bits, sizeof bits);
    StreamBuilder b;
    b.integer("Aircraft.Pitch", as_int);
    EXPECT_EQ(datagram_of(b), "G1,0,0,0,0,0,2500,0,0,0,0,0,0,0,");
}

TEST(G1Service, IsThePortInDecimal) {
    EXPECT_STREQ(port_text(0).text, "0");
    EXPECT_STREQ(port_text(7).text, "7");
    EXPECT_STREQ(port_text(65535).text, "65535");
}

TEST(G1Datagram, LongestTextIs159Bytes) {
    G1Fields fields;
    fields.fill(INT32_MIN);
    const G1Text text = g1_format(fields);
    EXPECT_EQ(text.length, kG1MaxLength);
    EXPECT_EQ(text.view().substr(0, 15), "G1,-2147483648,");
    EXPECT_EQ(text.view().back(), ',');
}
