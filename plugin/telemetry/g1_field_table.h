// The thirteen fields of the G1 datagram as receivers present them, in datagram order: name,
// words for a person, unit, scale and kind. g1 listen, g1 serve and its page, the dissector's
// check and the scripts all read this one list; it is checked against TelemetrySample below.
#pragma once

#include "plugin/telemetry/g1_datagram.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// What a field measures, which decides how a receiver shows it.
enum class G1Kind { Time, Linear, Angle, AngularRate };

struct G1Field {
    std::string_view name;    // the CSV column and the dissector's field: "velocity_x"
    std::string_view title;   // for a person, on its own: "Velocity x" (the dissector)
    std::string_view label;   // a row of the page: "velocity x"
    std::string_view column;  // g1 listen's table heading: "vel x"
    std::string_view unit;    // as the page shows it, angles in degrees (UTF-8)
    std::int32_t scale;       // the wire's integer is the host's value times this
    G1Kind kind;
    std::size_t sample_offset;  // where TelemetrySample holds the value
};

namespace g1_field_table_detail {

constexpr std::size_t component(std::size_t vector_offset, std::size_t index) {
    return vector_offset + index * sizeof(double);
}

inline constexpr std::string_view kDegrees = "\u00b0";
inline constexpr std::string_view kDegreesPerSecond = "\u00b0/s";
inline constexpr std::string_view kPerSecondSquared = "m/s\u00b2";

}  // namespace g1_field_table_detail

// clang-format off
inline constexpr std::array<G1Field, kG1FieldCount> kG1FieldTable = [] {
    using namespace g1_field_table_detail;
    using K = G1Kind;
    using S = TelemetrySample;
    constexpr std::int32_t kT = kG1TimeScale;
    constexpr std::int32_t kV = kG1ValueScale;
    return std::array<G1Field, kG1FieldCount>{{
        {"time_s", "Time", "time", "time s", "s", kT, K::Time, offsetof(S, time)},
        {"velocity_x", "Velocity x", "velocity x", "vel x", "m/s", kV, K::Linear, component(offsetof(S, velocity), 0)},
        {"velocity_y", "Velocity y", "velocity y", "vel y", "m/s", kV, K::Linear, component(offsetof(S, velocity), 1)},
        {"velocity_z", "Velocity z", "velocity z", "vel z", "m/s", kV, K::Linear, component(offsetof(S, velocity), 2)},
        {"bank", "Bank", "bank", "bank", kDegrees, kV, K::Angle, offsetof(S, bank)},
        {"pitch", "Pitch", "pitch", "pitch", kDegrees, kV, K::Angle, offsetof(S, pitch)},
        {"true_heading", "True heading", "heading", "heading", kDegrees, kV, K::Angle, offsetof(S, true_heading)},
        {"angular_velocity_x", "Angular velocity x", "angular velocity x", "angvel x", kDegreesPerSecond, kV, K::AngularRate, component(offsetof(S, angular_velocity), 0)},
        {"angular_velocity_y", "Angular velocity y", "angular velocity y", "angvel y", kDegreesPerSecond, kV, K::AngularRate, component(offsetof(S, angular_velocity), 1)},
        {"angular_velocity_z", "Angular velocity z", "angular velocity z", "angvel z", kDegreesPerSecond, kV, K::AngularRate, component(offsetof(S, angular_velocity), 2)},
        {"acceleration_x", "Acceleration x", "acceleration x", "accel x", kPerSecondSquared, kV, K::Linear, component(offsetof(S, acceleration), 0)},
        {"acceleration_y", "Acceleration y", "acceleration y", "accel y", kPerSecondSquared, kV, K::Linear, component(offsetof(S, acceleration), 1)},
        {"acceleration_z", "Acceleration z", "acceleration z", "accel z", kPerSecondSquared, kV, K::Linear, component(offsetof(S, acceleration), 2)},
    }};
}();
// clang-format on

// The kind as the page and the dump name it.
constexpr std::string_view g1_kind_name(G1Kind kind) {
    switch (kind) {
        case G1Kind::Time: return "time";
        case G1Kind::Linear: return "linear";
        case G1Kind::Angle: return "angle";
        case G1Kind::AngularRate: return "angular_rate";
    }
    return "";
}

// Digits after the point that undo a scale of 10^n.
constexpr int g1_decimals(std::int32_t scale) {
    int decimals = 0;
    for (; scale > 1; scale /= 10) {
        ++decimals;
    }
    return decimals;
}

namespace g1_field_table_detail {

// g1_fields writes TelemetrySample's doubles in their declared order, the first as the time.
constexpr bool follows_the_sample() {
    if (sizeof(TelemetrySample) != kG1FieldCount * sizeof(double)) return false;
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        const G1Field& f = kG1FieldTable[i];
        const bool time = i == 0;
        if (f.sample_offset != i * sizeof(double) || (f.kind == G1Kind::Time) != time ||
            f.scale != (time ? kG1TimeScale : kG1ValueScale)) {
            return false;
        }
    }
    return true;
}

// Names go into CSV headers, JSON, dissector filters and scripts as they are; the other texts
// go into JSON and Lua strings unescaped, so they stay clear of quotes and backslashes.
constexpr bool plain_name(std::string_view s) {
    for (char c : s) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return !s.empty();
}

constexpr bool plain_text(std::string_view s) {
    for (char c : s) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    }
    return !s.empty();
}

constexpr bool texts_are_plain() {
    for (const G1Field& f : kG1FieldTable) {
        if (!plain_name(f.name) || !plain_text(f.title) || !plain_text(f.label) ||
            !plain_text(f.column) || !plain_text(f.unit)) {
            return false;
        }
    }
    return true;
}

}  // namespace g1_field_table_detail

static_assert(g1_field_table_detail::follows_the_sample(),
              "the field table must follow TelemetrySample, the datagram's order");
static_assert(g1_field_table_detail::texts_are_plain(),
              "field names are lower-case words with underscores; no text holds quotes");
