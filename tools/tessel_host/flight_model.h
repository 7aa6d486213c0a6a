// A small flight model for the host emulator: a trainer that flies a left-hand circuit (take-off,
// climb, two half turns, descent, landing, stop) and starts again, so that every value the
// plug-in broadcasts moves and each one is the rate of change of another.
//
// Units: metres, seconds, radians. Velocity and acceleration are (east, north, up); angular
// velocity is the rate of change of (bank, pitch, heading). Bank is positive right wing down,
// heading is clockwise from north in [0, 2 pi).
#pragma once

#include <cstdint>

enum class FlightPhase : std::uint8_t {
    Hold,         // stopped on the runway
    TakeOffRoll,  // accelerating on the ground
    Climb,
    CrosswindTurn,  // half a turn to the left, still climbing
    Downwind,
    BaseTurn,  // half a turn to the left, descending
    Final,
    Flare,
    Rollout,  // braking on the ground
};

struct FlightState {
    FlightPhase phase = FlightPhase::Hold;
    double phase_time = 0.0;  // seconds in the current phase
    double time = 0.0;
    double east = 0.0;
    double north = 0.0;
    double altitude = 0.0;
    double speed = 0.0;  // along the flight path
    double bank = 0.0;
    double pitch = 0.0;  // the flight path angle: the model flies at no angle of attack
    double heading = 0.0;
    double turned = 0.0;  // heading change so far in the current turn
    double velocity[3] = {};
    double angular_velocity[3] = {};
    double acceleration[3] = {};
};

inline constexpr double kRunwayHeading = 1.5707963267948966;  // east
inline constexpr double kGravity = 9.81;

FlightState flight_start();

// Advances the model by `dt` seconds (a step of 0 or less changes nothing).
void flight_step(FlightState& state, double dt);

bool flight_on_ground(const FlightState& state);
