// The circuit: a phase machine setting targets for bank, pitch and speed, first-order responses
// towards them, and kinematics. Rates come from the step itself, so they match the values exactly.
#include "tools/tessel_host/flight_model.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

constexpr double kHoldSeconds = 0.5;
constexpr double kRollAcceleration = 8.0;  // m/s^2
constexpr double kBrakingDeceleration = 9.0;
constexpr double kRotateSpeed = 16.0;  // m/s
constexpr double kCruiseSpeed = 18.0;
constexpr double kSpeedResponse = 1.5;  // 1/s
constexpr double kClimbPitch = 12.0 * kDegree;
constexpr double kTurnClimbPitch = 5.0 * kDegree;
constexpr double kDescentPitch = -8.0 * kDegree;
constexpr double kFlarePitch = -2.5 * kDegree;
constexpr double kTurnBank = 60.0 * kDegree;
constexpr double kBankTimeConstant = 0.35;  // s
constexpr double kPitchTimeConstant = 0.4;
constexpr double kTurnEndAltitude = 5.0;  // m, where the climb turns crosswind
constexpr double kDownwindSeconds = 0.5;
constexpr double kFlareAltitude = 1.5;
constexpr double kHeadingGain = 2.0;  // bank per radian of heading error, straight legs
constexpr double kCorrectionBank = 15.0 * kDegree;

struct Targets {
    double bank;
    double pitch;
    double speed;
};

double wrap_pi(double a) {
    return std::remainder(a, 2.0 * kPi);
}

double wrap_two_pi(double a) {
    const double w = std::fmod(a, 2.0 * kPi);
    return w < 0.0 ? w + 2.0 * kPi : w;
}

// Straight legs hold a heading with a gentle bank.
double hold_heading(const FlightState& s, double heading) {
    return std::clamp(kHeadingGain * wrap_pi(heading - s.heading), -kCorrectionBank,
                      kCorrectionBank);
}

// The heading the bank's roll-out still adds, so a turn ends on its heading.
double roll_out_lead(const FlightState& s) {
    return std::abs(kGravity * std::tan(s.bank) / std::max(s.speed, 1.0)) * kBankTimeConstant;
}

void enter(FlightState& s, FlightPhase phase) {
    s.phase = phase;
    s.phase_time = 0.0;
    s.turned = 0.0;
}

void advance_phase(FlightState& s) {
    switch (s.phase) {
        case FlightPhase::Hold:
            if (s.phase_time >= kHoldSeconds) enter(s, FlightPhase::TakeOffRoll);
            break;
        case FlightPhase::TakeOffRoll:
            if (s.speed >= kRotateSpeed) enter(s, FlightPhase::Climb);
            break;
        case FlightPhase::Climb:
            if (s.altitude >= kTurnEndAltitude) enter(s, FlightPhase::CrosswindTurn);
            break;
        case FlightPhase::CrosswindTurn:
            if (std::abs(s.turned) + roll_out_lead(s) >= kPi) enter(s, FlightPhase::Downwind);
            break;
        case FlightPhase::Downwind:
            if (s.phase_time >= kDownwindSeconds) enter(s, FlightPhase::BaseTurn);
            break;
        case FlightPhase::BaseTurn:
            if (std::abs(s.turned) + roll_out_lead(s) >= kPi) enter(s, FlightPhase::Final);
            break;
        case FlightPhase::Final:
            if (s.altitude <= kFlareAltitude) enter(s, FlightPhase::Flare);
            break;
        case FlightPhase::Flare:
            if (s.altitude <= 0.0) enter(s, FlightPhase::Rollout);
            break;
        case FlightPhase::Rollout:
            if (s.speed <= 0.0) enter(s, FlightPhase::Hold);
            break;
    }
}

Targets targets_for(const FlightState& s) {
    const double downwind = wrap_two_pi(kRunwayHeading + kPi);
    switch (s.phase) {
        case FlightPhase::Hold: return {0.0, 0.0, 0.0};
        case FlightPhase::TakeOffRoll: return {0.0, 0.0, kCruiseSpeed};
        case FlightPhase::Climb:
            return {hold_heading(s, kRunwayHeading), kClimbPitch, kCruiseSpeed};
        case FlightPhase::CrosswindTurn: return {-kTurnBank, kTurnClimbPitch, kCruiseSpeed};
        case FlightPhase::Downwind: return {hold_heading(s, downwind), 0.0, kCruiseSpeed};
        case FlightPhase::BaseTurn: return {-kTurnBank, kDescentPitch, kCruiseSpeed};
        case FlightPhase::Final:
            return {hold_heading(s, kRunwayHeading), kDescentPitch, kCruiseSpeed};
        case FlightPhase::Flare: return {0.0, kFlarePitch, kRotateSpeed};
        case FlightPhase::Rollout: return {0.0, 0.0, 0.0};
    }
    return {0.0, 0.0, 0.0};
}

double approach(double value, double target, double time_constant, double dt) {
    return value + (target - value) * (1.0 - std::exp(-dt / time_constant));
}

double next_speed(const FlightState& s, double target, double dt) {
    switch (s.phase) {
        case FlightPhase::Hold: return 0.0;
        case FlightPhase::TakeOffRoll: return s.speed + kRollAcceleration * dt;
        case FlightPhase::Rollout: return std::max(0.0, s.speed - kBrakingDeceleration * dt);
        default: return approach(s.speed, target, 1.0 / kSpeedResponse, dt);
    }
}

void velocity_of(const FlightState& s, double (&v)[3]) {
    const double horizontal = s.speed * std::cos(s.pitch);
    v[0] = horizontal * std::sin(s.heading);
    v[1] = horizontal * std::cos(s.heading);
    v[2] = s.speed * std::sin(s.pitch);
}

}  // namespace

FlightState flight_start() {
    FlightState s;
    s.heading = kRunwayHeading;
    return s;
}

bool flight_on_ground(const FlightState& s) {
    return s.phase == FlightPhase::Hold || s.phase == FlightPhase::TakeOffRoll ||
           s.phase == FlightPhase::Rollout;
}

void flight_step(FlightState& s, double dt) {
    if (!(dt > 0.0)) {
        return;
    }
    advance_phase(s);
    const Targets t = targets_for(s);
    const double old_bank = s.bank;
    const double old_pitch = s.pitch;
    const double old_velocity[3] = {s.velocity[0], s.velocity[1], s.velocity[2]};

    s.bank = approach(s.bank, t.bank, kBankTimeConstant, dt);
    s.pitch = approach(s.pitch, t.pitch, kPitchTimeConstant, dt);
    s.speed = next_speed(s, t.speed, dt);
    const double heading_step =
        flight_on_ground(s) ? 0.0 : kGravity * std::tan(s.bank) / std::max(s.speed, 1.0) * dt;
    s.heading = wrap_two_pi(s.heading + heading_step);
    s.turned += heading_step;
    velocity_of(s, s.velocity);
    s.east += s.velocity[0] * dt;
    s.north += s.velocity[1] * dt;
    // The ground stops a descent: the vertical velocity is what the altitude really did.
    const double altitude = std::max(0.0, s.altitude + s.velocity[2] * dt);
    s.velocity[2] = (altitude - s.altitude) / dt;
    s.altitude = altitude;

    s.angular_velocity[0] = (s.bank - old_bank) / dt;
    s.angular_velocity[1] = (s.pitch - old_pitch) / dt;
    s.angular_velocity[2] = heading_step / dt;
    for (int i = 0; i < 3; ++i) {
        s.acceleration[i] = (s.velocity[i] - old_velocity[i]) / dt;
    }
    s.time += dt;
    s.phase_time += dt;
}
