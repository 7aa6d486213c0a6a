// Display units and the JSON of the events. Every value text is plain ASCII digits and signs,
// and the field table's texts hold no quotes or backslashes, so the JSON needs no escaping.
#include "tools/g1/serve_event.h"

#include "plugin/telemetry/g1_field_table.h"
#include "tools/common/udp.h"
#include "tools/g1/listen.h"

#include <cmath>
#include <cstdio>
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

std::string degrees_text(std::int32_t field, std::int64_t scale, AngleUnit angles) {
    if (angles == AngleUnit::Degrees) {
        return fixed_point_text(rounded_division(field, scale / kTenthsPerDegree), kAngleDecimals);
    }
    const double degrees = field / static_cast<double>(scale) * (180.0 / std::numbers::pi);
    return fixed_point_text(std::llround(degrees * kTenthsPerDegree), kAngleDecimals);
}

}  // namespace

DisplayTexts display_texts(const G1Fields& fields, std::int64_t time_us, AngleUnit angles) {
    DisplayTexts texts;
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        const G1Field& field = kG1FieldTable[i];
        switch (field.kind) {
            case G1Kind::Time:
                texts[i] = fixed_point_text(rounded_division(time_us, field.scale / kMsPerSecond),
                                            kTimeDecimals);
                break;
            case G1Kind::Angle:
            case G1Kind::AngularRate:
                texts[i] = degrees_text(fields[i], field.scale, angles);
                break;
            case G1Kind::Linear:
                texts[i] = fixed_point_text(fields[i], g1_decimals(field.scale));
                break;
        }
    }
    return texts;
}

const std::string& fields_event() {
    static const std::string event = [] {
        std::string text = "event: ";
        text += kFieldsEvent;
        text += "\ndata: {\"fields\":[";
        for (const G1Field& f : kG1FieldTable) {
            text += text.back() == '[' ? "{" : ",{";
            text += "\"name\":\"" + std::string(f.name) + "\",\"label\":\"" + std::string(f.label) +
                    "\",\"unit\":\"" + std::string(f.unit) + "\",\"kind\":\"" +
                    std::string(g1_kind_name(f.kind)) + "\"}";
        }
        return text + "]}\n\n";
    }();
    return event;
}

std::string datagram_event(std::string_view name, std::uint64_t number, const DisplayTexts& texts,
                           std::uint32_t sender) {
    std::string event = "event: ";
    event += name;
    event += "\ndata: {\"n\":" + std::to_string(number) + ",\"v\":[";
    for (std::size_t i = 0; i < texts.size(); ++i) {
        event += i == 0 ? "\"" : ",\"";
        event += texts[i];
        event += '"';
    }
    event += "],\"sender\":\"" + udp_ip_text(sender) + "\"}\n\n";
    return event;
}

std::string health_event(const HealthFigures& f, AngleUnit angles, std::uint16_t udp_port,
                         std::span<const SenderFigures> senders) {
    char text[352];
    std::snprintf(text, sizeof text,
                  "event: %s\ndata: {\"datagrams\":%llu,\"malformed\":%llu,\"ignored\":%llu,"
                  "\"wraps\":%llu,\"turned_away\":%llu,\"rate\":%.1f,\"gap_ms\":%.1f,\"idle_ms\":%"
                  "lld,\"angles\":\"%s\","
                  "\"port\":%u,\"senders\":[",
                  kHealthEvent.data(), static_cast<unsigned long long>(f.datagrams),
                  static_cast<unsigned long long>(f.malformed),
                  static_cast<unsigned long long>(f.other_senders),
                  static_cast<unsigned long long>(f.wraps),
                  static_cast<unsigned long long>(f.turned_away), f.rate_hz, f.largest_gap_ms,
                  static_cast<long long>(f.idle_ms), angles == AngleUnit::Radians ? "rad" : "deg",
                  static_cast<unsigned>(udp_port));
    std::string event = text;
    for (const SenderFigures& s : senders) {
        std::snprintf(text, sizeof text,
                      "%s{\"sender\":\"%s\",\"rate\":%.1f,\"gap_ms\":%.1f,\"idle_ms\":%lld,"
                      "\"datagrams\":%llu}",
                      &s == senders.data() ? "" : ",", udp_ip_text(s.ip).c_str(), s.link.rate_hz,
                      s.link.largest_gap_ms, static_cast<long long>(s.link.idle_ms),
                      static_cast<unsigned long long>(s.link.datagrams));
        event += text;
    }
    return event + "]}\n\n";
}

std::string history_event(std::uint32_t sender, const SenderHistory& history, AngleUnit angles) {
    std::string event = "event: ";
    event += kHistoryEvent;
    event += "\ndata: {\"sender\":\"" + udp_ip_text(sender) + "\",\"v\":[";
    for (std::size_t k = 0; k < history.count; ++k) {
        const SenderSample& s = history_at(history, k);
        const DisplayTexts texts = display_texts(s.fields, s.time_us, angles);
        event += k == 0 ? "[" : ",[";
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (i > 0) event += ',';
            event += texts[i];  // plain decimal numbers, as JSON takes them
        }
        event += ']';
    }
    return event + "]}\n\n";
}

std::string as_last_datagram_event(std::string_view event) {
    const std::string prefix = "event: " + std::string(kDatagramEvent);
    std::string last = "event: " + std::string(kLastDatagramEvent);
    last += event.substr(event.starts_with(prefix) ? prefix.size() : event.size());
    return last;
}
