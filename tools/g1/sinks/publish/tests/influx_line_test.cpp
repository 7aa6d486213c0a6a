// G1 points in line protocol, and each sender's time laid on the wall clock.
#include "tools/g1/sinks/publish/influx_line.h"

#include "plugin/telemetry/g1_parse.h"

#include <gtest/gtest.h>

TEST(InfluxLine, APointCarriesTheSenderTheValuesInDisplayUnitsAndNanoseconds) {
    const G1Parsed p = g1_parse("G1,1500000,1234,-5,0,-12,0,3141,1000,0,0,-9810,0,0,");
    ASSERT_EQ(p.error, G1ParseError::None);
    std::string out = "before\n";
    influx_line(out, 0xC0A80114, display_texts(p.fields, 1'500'000, AngleUnit::Radians),
                1'765'000'000'123'456'789);
    EXPECT_EQ(out,
              "before\ng1,sender=192.168.1.20 time_s=1.500,velocity_x=1.234,velocity_y=-0.005,"
              "velocity_z=0.000,bank=-0.7,pitch=0.0,true_heading=180.0,angular_velocity_x=57.3,"
              "angular_velocity_y=0.0,angular_velocity_z=0.0,acceleration_x=-9.810,"
              "acceleration_y=0.000,acceleration_z=0.000 1765000000123456789\n");
}

TEST(InfluxLine, TimesKeepTheSimulatorsSpacingAndANewFlightAnchorsAfresh) {
    struct Step {
        std::int64_t time_us, at_ns, wall_ns, expected_ns;
    };
    constexpr std::int64_t kWall = 1'700'000'000'000'000'000;
    constexpr std::int64_t kS = 1'000'000'000;
    const Step steps[] = {
        {5'000'000, 100 * kS, kWall, kWall},                                         // anchored
        {5'016'667, 100 * kS + 90'000'000, kWall + 90'000'000, kWall + 16'667'000},  // late
        {5'016'667, 101 * kS, kWall + kS, kWall + 16'667'000},    // paused: time stands
        {65'000'000, 102 * kS, kWall + 2 * kS, kWall + 60 * kS},  // a minute in 1 s: same flight
        {200'000'000, 103 * kS, kWall + 3 * kS, kWall + 3 * kS},  // far past the wall: new flight
        {1'000, 104 * kS, kWall + 4 * kS, kWall + 4 * kS},        // time went back: new flight
        {150'000'000, 200 * kS, kWall + 100 * kS, kWall + 4 * kS + 149'999'000'000},  // silent
    };
    InfluxAnchor anchor;
    for (const Step& s : steps) {
        EXPECT_EQ(influx_time_ns(anchor, s.time_us, s.at_ns, s.wall_ns), s.expected_ns)
            << "simulator time " << s.time_us;
    }
}
