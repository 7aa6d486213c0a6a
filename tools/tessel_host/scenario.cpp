// The records of the built-in scenarios.
#include "tools/tessel_host/scenario.h"

#include "plugin/host/message_catalogue.h"
#include "plugin/telemetry/tracked_messages.h"

#include <cmath>

namespace {

constexpr double kWindEast = 3.0;  // m/s, with a slow gust on top
constexpr double kWindNorth = -1.5;
constexpr std::int64_t kTransponderCode = 7000;

struct Quaternion {
    double w, x, y, z;
};

// Heading, pitch, then bank (the usual yaw-pitch-roll order).
Quaternion orientation_of(const FlightState& s) {
    const double cy = std::cos(s.heading / 2), sy = std::sin(s.heading / 2);
    const double cp = std::cos(s.pitch / 2), sp = std::sin(s.pitch / 2);
    const double cr = std::cos(s.bank / 2), sr = std::sin(s.bank / 2);
    return {cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy, cr * sp * cy + sr * cp * sy,
            cr * cp * sy - sr * sp * cy};
}

void tracked_records(StreamBuilder& b, const FlightState& s) {
    const double* v = s.velocity;
    const double* w = s.angular_velocity;
    const double* a = s.acceleration;
    b.doubles("Simulation.Time", {s.time}, kTimeFlags)
        .doubles("Aircraft.Pitch", {s.pitch}, kUsualFlags)
        .doubles("Aircraft.Bank", {s.bank}, kUsualFlags)
        .doubles("Aircraft.TrueHeading", {s.heading}, kUsualFlags)
        .doubles("Aircraft.Velocity", {v[0], v[1], v[2]}, kUsualFlags)
        .doubles("Aircraft.AngularVelocity", {w[0], w[1], w[2]}, kUsualFlags)
        .doubles("Aircraft.Acceleration", {a[0], a[1], a[2]}, kUsualFlags)
        .doubles("Aircraft.Gravity", {0.0, 0.0, -kGravity}, kUsualFlags);
}

// One record of each data type besides the tracked doubles and vectors.
void other_records(StreamBuilder& b, const FlightState& s, std::uint64_t frame) {
    const Quaternion q = orientation_of(s);
    const double gust = std::sin(s.time * 0.7);
    b.doubles("Aircraft.Altitude", {s.altitude}, kUsualFlags)
        .doubles("Aircraft.VerticalSpeed", {s.velocity[2]}, kUsualFlags)
        .doubles("Aircraft.GroundSpeed", {std::hypot(s.velocity[0], s.velocity[1])}, kUsualFlags)
        .doubles("Aircraft.Position", {s.east, s.north, s.altitude}, kUsualFlags)
        .doubles("Aircraft.Wind", {kWindEast + gust, kWindNorth}, kUsualFlags)
        .doubles("Aircraft.Orientation", {q.w, q.x, q.y, q.z}, kUsualFlags)
        .integer("Aircraft.OnGround", flight_on_ground(s) ? 1 : 0, kUsualFlags)
        .integer("Communication.TransponderCode", kTransponderCode, kUsualFlags)
        .text("Aircraft.Name", "Tessel Trainer", kUsualFlags)
        .wide_text("Aircraft.NearestAirport",
                   {u'\u00dc', u'b', u'u', u'n', u'g', u's', u'f', u'e', u'l', u'd'}, kUsualFlags)
        .none("Navigation.COM1FrequencySwap", kUsualFlags);
    const auto number = static_cast<std::int64_t>(frame);
    b.message(kFrameNumberId, DataType::Int, &number, sizeof number, kUsualFlags);
}

// Catalogue messages in catalogue order, as doubles that drift with time. The tracked ones are
// left out: a later record would replace the flight model's value in the datagram.
void filler_records(StreamBuilder& b, const FlightState& s, std::size_t total) {
    const auto entries = message_catalogue_entries();
    for (std::size_t i = 0; b.count < total; ++i) {
        const MessageNameEntry& e = entries[i % entries.size()];
        if (is_tracked_message(e.id)) continue;
        const double value = std::sin(s.time + static_cast<double>(i));
        b.message(e.id, DataType::Double, &value, sizeof value, kUsualFlags);
    }
}

}  // namespace

bool scenario_from_name(std::string_view name, ScenarioKind& kind) {
    for (ScenarioKind k : {ScenarioKind::Circuit, ScenarioKind::Stress}) {
        if (name == scenario_name(k)) {
            kind = k;
            return true;
        }
    }
    return false;
}

const char* scenario_name(ScenarioKind kind) {
    return kind == ScenarioKind::Stress ? "stress" : "circuit";
}

Scenario scenario_start(ScenarioKind kind) {
    Scenario s;
    s.kind = kind;
    return s;
}

void scenario_frame(Scenario& scenario, double dt, StreamFrame& frame) {
    flight_step(scenario.flight, dt);
    StreamBuilder& b = scenario.builder;
    b.bytes.clear();
    b.count = 0;
    tracked_records(b, scenario.flight);
    other_records(b, scenario.flight, scenario.frames);
    if (scenario.kind == ScenarioKind::Stress) {
        filler_records(b, scenario.flight, kStressRecords);
    }
    ++scenario.frames;
    frame.dt = dt;
    frame.count = b.count;
    frame.bytes.assign(b.bytes.begin(), b.bytes.end());
}
