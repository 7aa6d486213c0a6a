// The receiving side of the G1 datagram: a strict parser that accepts exactly what g1_format
// writes, and the unwrapping of the 32-bit time field into a running microsecond count.
#pragma once

#include "plugin/telemetry/g1_datagram.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Why a datagram was refused; `field` (1 to 13, 0 when no field is concerned) says where.
enum class G1ParseError {
    None,
    TooLong,
    NoTag,
    EmptyField,
    UnexpectedCharacter,
    LeadingZero,
    NegativeZero,
    OutOfRange,
    MissingComma,
    TooFewFields,
    TooManyFields,
};

struct G1Parsed {
    G1Fields fields;
    G1ParseError error;
    std::size_t field;
    std::size_t offset;  // byte where the fault was found
};

G1Parsed g1_parse(std::string_view datagram);

// One line for a person, e.g. "field 4: leading zero (byte 17)".
std::string g1_parse_reason(const G1Parsed& parsed);

// Position 1 carries only the low 32 bits of the microsecond count. Successive datagrams are
// taken to be less than 2^31 us (about 35.8 minutes) apart, so the signed 32-bit difference
// between two of them is the true step, across a wrap or backwards alike. A sender that steps
// by almost 2^31 us in every datagram would carry the count past the 64-bit range after about
// 2^32 datagrams; it stops at the ends of that range instead.
struct G1TimeUnwrap {
    bool started = false;
    std::int32_t last = 0;
    std::int64_t running_us = 0;
    std::uint64_t wraps = 0;  // forward passes through the signed 32-bit limit
};

std::int64_t g1_unwrap_time(G1TimeUnwrap& state, std::int32_t field);
