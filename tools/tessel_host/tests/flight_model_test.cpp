// The circuit the host emulator flies: it goes round and lands, and its rates match its values.
#include "tools/tessel_host/flight_model.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Circuit {
    double highest = 0.0;
    double heading_change = 0.0;
    double steepest_bank = 0.0;
    double landed_after = -1.0;  // seconds until back on the ground and stopped
};

Circuit fly_one_circuit(double rate_hz) {
    FlightState s = flight_start();
    Circuit c;
    bool airborne = false;
    const double dt = 1.0 / rate_hz;
    for (int i = 0; i < static_cast<int>(40.0 * rate_hz); ++i) {
        flight_step(s, dt);
        c.highest = std::max(c.highest, s.altitude);
        c.heading_change += s.angular_velocity[2] * dt;
        c.steepest_bank = std::min(c.steepest_bank, s.bank);
        airborne = airborne || s.altitude > 1.0;
        if (airborne && s.phase == FlightPhase::Hold) {
            c.landed_after = s.time;
            break;
        }
    }
    return c;
}

}  // namespace

TEST(FlightModel, CircuitClimbsTurnsFullCircleLeftAndLands) {
    const Circuit c = fly_one_circuit(60.0);
    EXPECT_GT(c.highest, 8.0);
    EXPECT_NEAR(c.heading_change, -2.0 * kPi, 0.05);
    EXPECT_LT(c.steepest_bank, -50.0 * kPi / 180.0);
    EXPECT_GT(c.landed_after, 10.0);
    EXPECT_LT(c.landed_after, 20.0);
}

TEST(FlightModel, CircuitIsTheSameAtOtherFrameRates) {
    const Circuit at60 = fly_one_circuit(60.0);
    for (double rate : {30.0, 144.0}) {
        const Circuit c = fly_one_circuit(rate);
        EXPECT_NEAR(c.landed_after, at60.landed_after, 0.3) << rate << " Hz";
        EXPECT_NEAR(c.highest, at60.highest, 0.5) << rate << " Hz";
    }
}

TEST(FlightModel, RatesAreTheChangeOfTheirValuesOverEachStep) {
    FlightState s = flight_start();
    const double dt = 1.0 / 60.0;
    for (int i = 0; i < 60 * 16; ++i) {
        const FlightState before = s;
        flight_step(s, dt);
        ASSERT_NEAR(s.acceleration[0], (s.velocity[0] - before.velocity[0]) / dt, 1e-9) << i;
        ASSERT_NEAR(s.acceleration[2], (s.velocity[2] - before.velocity[2]) / dt, 1e-9) << i;
        ASSERT_NEAR(s.angular_velocity[0], (s.bank - before.bank) / dt, 1e-9) << i;
        ASSERT_NEAR(s.angular_velocity[1], (s.pitch - before.pitch) / dt, 1e-9) << i;
        ASSERT_NEAR(s.velocity[2], (s.altitude - before.altitude) / dt, 1e-9) << i;
    }
}
