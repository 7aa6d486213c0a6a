// Display units and the JSON of the events. Every text is plain ASCII digits and signs, so the
// JSON needs no escaping.
#include "tools/g1/serve_event.h"

#include "tools/g1/listen.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

constexpr std::int64_t kWireScale = 1000;  // positions 2 to 13 carry the value times 1000
constexpr std::int64_t kUsPerMs = 1000;
constexpr int kValueDecimals = 3;
constexpr int kAngleDecimals = 1;
constexpr std::int64_t kTenthsPerDegree = 10;  // one decimal

bool is_angle(std::size_t position) {
    return position >= 5 && position <= 10;  // bank, pitch, heading, angular velocity
}

// Half away from zero, so a value and its negation show the same digits.
std::int64_t rounded_division(std::int64_t value, std::int64_t divisor) {
    const std::int64_t half = divisor / 2;
    return value >= 0 ? (value + half) / divisor : -((-value + half) / divisor);
}

std::string degrees_text(std::int32_t field, AngleUnit angles) {
    if (angles == AngleUnit::Degrees) {
        return fixed_point_text(rounded_division(field, kWireScale / kTenthsPerDegree),
                                kAngleDecimals);
    }
    const double degrees = field / static_cast<double>(kWireScale) * (180.0 / std::numbers::pi);
    return fixed_point_text(std::llround(degrees * kTenthsPerDegree), kAngleDecimals);
}

}  // namespace

DisplayTexts display_texts(const G1Fields& fields, std::int64_t time_us, AngleUnit angles) {
    DisplayTexts texts;
    texts[0] = fixed_point_text(rounded_division(time_us, kUsPerMs), kValueDecimals);
    for (std::size_t i = 1; i < kG1FieldCount; ++i) {
        texts[i] = is_angle(i + 1) ? degrees_text(fields[i], angles)
                                   : fixed_point_text(fields[i], kValueDecimals);
    }
    return texts;
}

std::string datagram_event(std::string_view name, std::uint64_t number, const DisplayTexts& texts) {
    std::string event = "event: ";
    event += name;
    event += "\ndata: {\"n\":" + std::to_string(number) + ",\"v\":[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        event += i == 0 ? "\"" : ",\"";
        event += texts[i];
        event += '"';
    }
    event += "]}\n\n";
    return event;
}

std::string health_event(const HealthFigures& f, AngleUnit angles, std::uint16_t udp_port) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "event: %s\ndata: {\"datagrams\":%llu,\"malformed\":%llu,\"ignored\":%llu,"
                  "\"wraps\":%llu,\"rate\":%.1f,\"gap_ms\":%.1f,\"idle_ms\":%lld,\"angles\":\"%s\","
                  "\"port\":%u}"
                  "\n\n",
                  kHealthEvent.data(), static_cast<unsigned long long>(f.datagrams),
                  static_cast<unsigned long long>(f.malformed),
                  static_cast<unsigned long long>(f.other_senders),
                  static_cast<unsigned long long>(f.wraps), f.rate_hz, f.largest_gap_ms,
                  static_cast<long long>(f.idle_ms), angles == AngleUnit::Radians ? "rad" : "deg",
                  static_cast<unsigned>(udp_port));
    return text;
}

std::string as_last_datagram_event(std::string_view event) {
    const std::string prefix = "event: " + std::string(kDatagramEvent);
    std::string last = "event: " + std::string(kLastDatagramEvent);
    last += event.substr(event.starts_with(prefix) ? prefix.size() : event.size());
    return last;
}
