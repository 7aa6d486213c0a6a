// The G1 datagram: the tracked values of one frame gathered, scaled to integers and formatted
// as "G1," and 13 comma-terminated integers. The wire format is fixed; receivers rely on it.
#pragma once

#include "plugin/host/message_record.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t kG1FieldCount = 13;
inline constexpr std::size_t kG1MinLength = 29;   // every field "0"
inline constexpr std::size_t kG1MaxLength = 159;  // every field -2147483648
inline constexpr std::string_view kG1Tag = "G1,";
// Position 1 is the time times kG1TimeScale, positions 2 to 13 the values times kG1ValueScale.
inline constexpr std::int32_t kG1TimeScale = 1000000;
inline constexpr std::int32_t kG1ValueScale = 1000;

inline constexpr const char* kG1Address = "255.255.255.255";
inline constexpr std::uint16_t kG1Port = 50010;

// A port in decimal, as name resolution takes a service.
struct PortText {
    char text[6];  // five digits and the terminator
};

constexpr PortText port_text(std::uint16_t port) {
    char reversed[5] = {};
    std::size_t digits = 0;
    do {
        reversed[digits++] = static_cast<char>('0' + port % 10);
        port = static_cast<std::uint16_t>(port / 10);
    } while (port != 0);
    PortText out{};
    for (std::size_t i = 0; i < digits; ++i) {
        out.text[i] = reversed[digits - 1 - i];
    }
    return out;
}

inline constexpr PortText kG1Service = port_text(kG1Port);

// The thirteen values of one frame in datagram order, in the host's units.
struct TelemetrySample {
    double time;
    double velocity[3];
    double bank;
    double pitch;
    double true_heading;
    double angular_velocity[3];
    double acceleration[3];
};

using G1Fields = std::array<std::int32_t, kG1FieldCount>;

// The datagram's payload, without a terminator; empty when there is nothing to send.
struct G1Text {
    char bytes[kG1MaxLength];
    std::size_t length;
    std::string_view view() const { return {bytes, length}; }
};

// One pass over the frame; a later record with a tracked id replaces an earlier one, and a
// message the frame lacks gives 0.0.
TelemetrySample g1_gather(std::span<const MessageRecord> records);

// Positions 2 to 13: single-precision value times 1000, truncated; out of range, NaN and
// infinities give INT32_MIN.
std::int32_t g1_scale(double value);

// Position 1: single-precision time times 1000000, truncated to 64 bits, written as its low
// 32 bits (so it wraps beyond about 2147.48 s); NaN, infinities and overflow give 0.
std::int32_t g1_scale_time(double time);

G1Fields g1_fields(const TelemetrySample& sample);

G1Text g1_format(const G1Fields& fields);

// The frame's datagram: gathered, scaled and formatted. A frame without records gives an empty
// text, and nothing is sent for it.
G1Text g1_datagram(std::span<const MessageRecord> records);
