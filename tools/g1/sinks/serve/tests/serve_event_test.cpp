// The events of `g1 serve`: the values in display units and the text the page parses.
#include "tools/g1/sinks/serve/serve_event.h"

#include "plugin/telemetry/g1_parse.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

G1Fields fields_of(std::string_view datagram) {
    const G1Parsed parsed = g1_parse(datagram);
    EXPECT_EQ(parsed.error, G1ParseError::None) << datagram;
    return parsed.fields;
}

constexpr std::uint32_t kTestSender = 0x7F000002;  // 127.0.0.2

}  // namespace

TEST(ServeEvent, DatagramEventCarriesTheValuesInDisplayUnits) {
    // Bank -0.0125 rad (written -12), heading 3.1416 rad, angular velocity 1 rad/s, the time
    // 1.5 s and three decimals elsewhere.
    const G1Fields f = fields_of("G1,1500000,1234,-5,0,-12,0,3141,1000,0,0,-9810,0,0,");
    EXPECT_EQ(datagram_event(kDatagramEvent, 7, {1'500'000, f}, AngleUnit::Radians, 0xC0A80114),
              "event: datagram\ndata: {\"n\":7,\"v\":[\"1.500\",\"1.234\",\"-0.005\",\"0.000\","
              "\"-0.7\",\"0.0\",\"180.0\",\"57.3\",\"0.0\",\"0.0\",\"-9.810\",\"0.000\","
              "\"0.000\"],\"sender\":\"192.168.1.20\"}\n\n");
}

TEST(ServeEvent, AnglesRoundHalfAwayFromZeroAndShowNoNegativeZero) {
    G1Fields f{};
    f[4] = -40;  // -0.04 degrees: rounds to zero, shown without a sign
    f[5] = 150;  // 0.15 degrees: exactly half a tenth
    f[6] = -150;
    f[7] = 359999;  // 359.999 degrees
    const DisplayTexts t = display_texts(f, 0, AngleUnit::Degrees);
    EXPECT_EQ(t[4], "0.0");
    EXPECT_EQ(t[5], "0.2");
    EXPECT_EQ(t[6], "-0.2");
    EXPECT_EQ(t[7], "360.0");
}

TEST(ServeEvent, TimeIsTheRunningTimeRoundedToMilliseconds) {
    const G1Fields f{};
    EXPECT_EQ(display_texts(f, 4'294'967'296'499, AngleUnit::Radians)[0], "4294967.296");
    EXPECT_EQ(display_texts(f, 4'294'967'296'500, AngleUnit::Radians)[0], "4294967.297");
    EXPECT_EQ(display_texts(f, -1'500, AngleUnit::Radians)[0], "-0.002");
    EXPECT_EQ(display_texts(f, -499, AngleUnit::Radians)[0], "0.000");
    // The running time's clamped ends: no overflow on the way to milliseconds.
    EXPECT_EQ(display_texts(f, std::numeric_limits<std::int64_t>::max(), AngleUnit::Radians)[0],
              "9223372036854.776");
    EXPECT_EQ(display_texts(f, std::numeric_limits<std::int64_t>::min(), AngleUnit::Radians)[0],
              "-9223372036854.776");
}

TEST(ServeEvent, OutOfRangeMarkerIsShownAsTheWireHasIt) {
    G1Fields f;
    f.fill(std::numeric_limits<std::int32_t>::min());
    const DisplayTexts t = display_texts(f, 0, AngleUnit::Radians);
    EXPECT_EQ(t[1], "-2147483.648");
    EXPECT_EQ(t[4], "-123041749.6");  // -2147483.648 rad in degrees
}

TEST(ServeEvent, LastDatagramEventIsTheSameDataUnderItsOwnName) {
    const std::string event =
        datagram_event(kDatagramEvent, 3, {}, AngleUnit::Radians, kTestSender);
    const std::string last = as_last_datagram_event(event);
    EXPECT_EQ(last.substr(0, last.find('\n')), "event: last");
    EXPECT_EQ(last.substr(last.find('\n')), event.substr(event.find('\n')));
}

TEST(ServeEvent, HealthEventHoldsTheFiguresAsJson) {
    HealthFigures f;
    f.datagrams = 120;
    f.malformed = 2;
    f.other_senders = 5;
    f.wraps = 1;
    f.turned_away = 7;
    f.rate_hz = 59.96;
    f.largest_gap_ms = 17.26;
    f.idle_ms = 4;
    EXPECT_EQ(health_event(f, AngleUnit::Degrees, 50011, {}, {}, "broker"),
              "event: health\ndata: {\"datagrams\":120,\"malformed\":2,\"ignored\":5,\"wraps\":1,"
              "\"turned_away\":7,\"rate\":60.0,\"gap_ms\":17.3,\"idle_ms\":4,\"angles\":\"deg\","
              "\"port\":50011,\"source\":\"broker\","
              "\"senders\":[]}\n\n");
    // Each sender heard, for the page's picker and the shown sender's link.
    const SenderFigures senders[] = {{kTestSender, f}, {0x0A000001, HealthFigures{}}};
    // The link health the receiver keeps, for the senders it has it of.
    const LinkFigures links[] = {{.ip = kTestSender, .frames_lost = 7, .gap_p99_s = 0.0334}};
    const std::string event = health_event(f, AngleUnit::Radians, 50010, senders, links);
    EXPECT_EQ(event.substr(event.find("\"senders\"")),
              "\"senders\":[{\"sender\":\"127.0.0.2\",\"rate\":60.0,\"gap_ms\":17.3,\"idle_ms\":4,"
              "\"datagrams\":120,\"malformed\":0,\"lost\":7,\"pauses\":0,\"wraps\":0,"
              "\"gap_p50_ms\":0.0,\"gap_p99_ms\":33.4,\"frame_ms\":0.0,\"drift_s\":0.000},"
              "{\"sender\":\"10.0.0.1\",\"rate\":0.0,\"gap_ms\":0.0,"
              "\"idle_ms\":-1,\"datagrams\":0}]}\n\n");
}
