// The values of a datagram as the page, the metrics and the time series show them, formatted
// once here so that every sink shows the same digits.
#pragma once

#include "plugin/telemetry/g1_datagram.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// What the host's angles are on the wire (position 5 to 7, and per second 8 to 10).
enum class AngleUnit { Radians, Degrees };

using DisplayTexts = std::array<std::string, kG1FieldCount>;

// `time_us` is the running (unwrapped) time; the other values come from `fields`.
DisplayTexts display_texts(const G1Fields& fields, std::int64_t time_us, AngleUnit angles);

// The text of value `i` alone, written at the start of `out` without allocating; its length.
inline constexpr std::size_t kDisplayTextMax = 32;
std::size_t display_text(std::span<char, kDisplayTextMax> out, const G1Fields& fields,
                         std::int64_t time_us, AngleUnit angles, std::size_t i);
