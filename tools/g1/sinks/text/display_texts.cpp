// The thirteen values as people read them: angles in degrees with one decimal, the time in
// seconds with three, the other values with the wire's own decimals.
#include "tools/g1/sinks/text/display_texts.h"

#include "plugin/telemetry/g1_field_table.h"
#include "tools/g1/sinks/text/listen.h"

#include <array>
#include <cmath>
#include <numbers>

namespace {

constexpr std::int64_t kMsPerSecond = 1000;
constexpr int kTimeDecimals = 3;  // milliseconds
constexpr int kAngleDecimals = 1;
constexpr std::int64_t kTenthsPerDegree = 10;  // one decimal

// Half away from zero, so a value and its negation show the same digits. In unsigned
// magnitudes: the running time may sit at either end of its 64-bit range, where adding the half
// or negating would overflow.
std::int64_t rounded_division(std::int64_t value, std::int64_t divisor) {
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    const auto d = static_cast<std::uint64_t>(divisor);
    const std::uint64_t quotient = magnitude / d + (magnitude % d >= d - d / 2 ? 1 : 0);
    // At most 2^63 / 2 + 1 for a divisor of 2 or more, so both signs fit.
    return value < 0 ? -static_cast<std::int64_t>(quotient) : static_cast<std::int64_t>(quotient);
}

// In tenths of a degree.
std::int64_t degrees_tenths(std::int32_t field, std::int64_t scale, AngleUnit angles) {
    if (angles == AngleUnit::Degrees) return rounded_division(field, scale / kTenthsPerDegree);
    const double degrees = field / static_cast<double>(scale) * (180.0 / std::numbers::pi);
    return std::llround(degrees * kTenthsPerDegree);
}

static_assert(kDisplayTextMax == kFixedPointTextMax);

}  // namespace

std::size_t display_text(std::span<char, kDisplayTextMax> out, const G1Fields& fields,
                         std::int64_t time_us, AngleUnit angles, std::size_t i) {
    const G1Field& field = kG1FieldTable[i];
    switch (field.kind) {
        case G1Kind::Time:
            return fixed_point_chars(out, rounded_division(time_us, field.scale / kMsPerSecond),
                                     kTimeDecimals);
        case G1Kind::Angle:
        case G1Kind::AngularRate:
            return fixed_point_chars(out, degrees_tenths(fields[i], field.scale, angles),
                                     kAngleDecimals);
        case G1Kind::Linear: break;
    }
    return fixed_point_chars(out, fields[i], g1_decimals(field.scale));
}

DisplayTexts display_texts(const G1Fields& fields, std::int64_t time_us, AngleUnit angles) {
    DisplayTexts texts;
    std::array<char, kDisplayTextMax> text;
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        texts[i].assign(text.data(), display_text(text, fields, time_us, angles, i));
    }
    return texts;
}
