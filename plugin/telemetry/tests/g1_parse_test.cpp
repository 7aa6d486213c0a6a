// The G1 parser against the formatter, the faults it refuses, and the time field's unwrapping.
#include "plugin/telemetry/g1_parse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace {

G1Fields counting_fields() {
    G1Fields f;
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::int32_t>(i + 1);
    return f;
}

std::string thirteen(const std::string& field) {
    std::string s(kG1Tag);
    for (std::size_t i = 0; i < kG1FieldCount; ++i) s += field + ",";
    return s;
}

}  // namespace

TEST(G1Parse, ReadsTheWorkedExample) {
    const G1Parsed p = g1_parse("G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,");
    ASSERT_EQ(p.error, G1ParseError::None) << g1_parse_reason(p);
    const G1Fields expected = {1500000, 0, 0, 0, -12, 0, 3141, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(p.fields, expected);
}

TEST(G1Parse, ReadsBackEveryFormattedVector) {
    G1Fields zero{};
    G1Fields lowest;
    lowest.fill(std::numeric_limits<std::int32_t>::min());
    G1Fields highest;
    highest.fill(std::numeric_limits<std::int32_t>::max());
    for (const G1Fields& fields : {zero, lowest, highest, counting_fields()}) {
        const G1Parsed p = g1_parse(g1_format(fields).view());
        ASSERT_EQ(p.error, G1ParseError::None) << g1_parse_reason(p);
        EXPECT_EQ(p.fields, fields);
    }
}

TEST(G1Parse, ReadsBackRandomSamplesThroughTheWholeConversion) {
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> wide(-3.0e6, 3.0e6);
    std::uniform_real_distribution<double> time(-5000.0, 10000.0);
    for (int i = 0; i < 20000; ++i) {
        TelemetrySample s{};
        s.time = time(random);
        s.velocity[0] = wide(random);
        s.velocity[1] = wide(random) / 1000.0;
        s.velocity[2] = std::ldexp(wide(random), -20);
        s.bank = wide(random);
        s.pitch = wide(random) / 1.0e6;
        s.true_heading = wide(random);
        s.angular_velocity[0] = wide(random);
        s.angular_velocity[1] = i % 7 == 0 ? std::nan("") : wide(random);
        s.angular_velocity[2] = wide(random);
        s.acceleration[0] = wide(random);
        s.acceleration[1] = wide(random) / 10.0;
        s.acceleration[2] = -wide(random);
        const G1Fields fields = g1_fields(s);
        const G1Parsed p = g1_parse(g1_format(fields).view());
        ASSERT_EQ(p.error, G1ParseError::None) << g1_parse_reason(p);
        ASSERT_EQ(p.fields, fields);
    }
}

TEST(G1Parse, RefusesMalformedDatagramsWithTheirReason) {
    struct Case {
        const char* what;
        std::string datagram;
        G1ParseError error;
        std::size_t field;
    };
    const std::string zeros = thirteen("0");
    const Case cases[] = {
        {"no tag", zeros.substr(3), G1ParseError::NoTag, 0},
        {"other tag", "G2" + zeros.substr(2), G1ParseError::NoTag, 0},
        {"lower-case tag", "g1" + zeros.substr(2), G1ParseError::NoTag, 0},
        {"empty", "", G1ParseError::NoTag, 0},
        {"tag only", "G1,", G1ParseError::TooFewFields, 1},
        {"12 fields", zeros.substr(0, zeros.size() - 2), G1ParseError::TooFewFields, 13},
        {"14 fields", zeros + "0,", G1ParseError::TooManyFields, 0},
        {"no trailing comma", zeros.substr(0, zeros.size() - 1), G1ParseError::MissingComma, 13},
        {"lone minus at the end", zeros.substr(0, zeros.size() - 2) + "-",
         G1ParseError::MissingComma, 13},
        {"space before a field", "G1, 0" + zeros.substr(4), G1ParseError::UnexpectedCharacter, 1},
        {"space after a field", "G1,0 " + zeros.substr(4), G1ParseError::UnexpectedCharacter, 1},
        {"trailing line end", zeros + "\n", G1ParseError::UnexpectedCharacter, 0},
        {"trailing zero byte", zeros + std::string(1, '\0'), G1ParseError::UnexpectedCharacter, 0},
        {"plus sign", thirteen("+1"), G1ParseError::UnexpectedCharacter, 1},
        {"decimal point", "G1,1.5," + zeros.substr(5), G1ParseError::UnexpectedCharacter, 1},
        {"empty field", "G1,0,,0,0,0,0,0,0,0,0,0,0,0,", G1ParseError::EmptyField, 2},
        {"lone minus", "G1,0,0,-,0,0,0,0,0,0,0,0,0,0,", G1ParseError::UnexpectedCharacter, 3},
        {"leading zero", "G1,0,0,0,07,0,0,0,0,0,0,0,0,0,", G1ParseError::LeadingZero, 4},
        {"negative leading zero", "G1,0,0,0,0,-012,0,0,0,0,0,0,0,0,", G1ParseError::LeadingZero, 5},
        {"negative zero", "G1,0,0,0,0,0,-0,0,0,0,0,0,0,0,", G1ParseError::NegativeZero, 6},
        {"one above INT32_MAX", "G1,0,0,0,0,0,0,2147483648,0,0,0,0,0,0,", G1ParseError::OutOfRange,
         7},
        {"one below INT32_MIN", "G1,0,0,0,0,0,0,0,-2147483649,0,0,0,0,0,", G1ParseError::OutOfRange,
         8},
        {"twenty digits", "G1,0,0,0,0,0,0,0,0,99999999999999999999,0,0,0,0,",
         G1ParseError::OutOfRange, 9},
        {"160 bytes", thirteen("-2147483648") + "0", G1ParseError::TooLong, 0},
        {"2000 bytes", "G1," + std::string(1997, '1'), G1ParseError::TooLong, 0},
    };
    for (const Case& c : cases) {
        const G1Parsed p = g1_parse(c.datagram);
        EXPECT_EQ(p.error, c.error) << c.what << ": " << g1_parse_reason(p);
        EXPECT_EQ(p.field, c.field) << c.what << ": " << g1_parse_reason(p);
    }
}

TEST(G1Parse, ReasonNamesTheFieldAndTheByte) {
    const G1Parsed p = g1_parse("G1,0,0,0,07,0,0,0,0,0,0,0,0,0,");
    EXPECT_EQ(g1_parse_reason(p), "field 4: leading zero (byte 9)");
}

TEST(G1TimeUnwrap, FirstValueIsTakenAsItIs) {
    G1TimeUnwrap u;
    EXPECT_EQ(g1_unwrap_time(u, -5), -5);
    EXPECT_EQ(u.wraps, 0u);
}

TEST(G1TimeUnwrap, RunsOnAcrossTheWrapOfThePlugInsTime) {
    // The plug-in's own conversion, from before the first wrap to past the second.
    G1TimeUnwrap u;
    std::uint64_t wraps = 0;
    for (double t = 2000.0; t < 7000.0; t += 0.25) {
        const auto expected = static_cast<std::int64_t>(static_cast<float>(t) * 1.0e6f);
        ASSERT_EQ(g1_unwrap_time(u, g1_scale_time(t)), expected) << "time " << t;
        wraps = u.wraps;
    }
    EXPECT_EQ(wraps, 2u);
}

TEST(G1TimeUnwrap, StepBackwardsIsKeptAsABackwardStep) {
    G1TimeUnwrap u;
    g1_unwrap_time(u, std::numeric_limits<std::int32_t>::max());
    g1_unwrap_time(u, std::numeric_limits<std::int32_t>::min());  // one microsecond on
    EXPECT_EQ(g1_unwrap_time(u, std::numeric_limits<std::int32_t>::max()),
              std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(u.wraps, 1u);
}

TEST(G1TimeUnwrap, HostileStepsStopAtTheEndsOfThe64BitRange) {
    constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();
    constexpr std::int32_t kLargestStep = std::numeric_limits<std::int32_t>::max();
    G1TimeUnwrap u{true, 0, kHighest - 10, 0};
    EXPECT_EQ(g1_unwrap_time(u, kLargestStep), kHighest);
    EXPECT_EQ(g1_unwrap_time(u, kLargestStep - 7), kHighest - 7);  // and back down from there

    G1TimeUnwrap low{true, 0, std::numeric_limits<std::int64_t>::min() + 10, 0};
    EXPECT_EQ(g1_unwrap_time(low, std::numeric_limits<std::int32_t>::min() + 1),
              std::numeric_limits<std::int64_t>::min());
}
