// Strict decoding of the G1 datagram and the unwrapping of its time field.
#include "plugin/telemetry/g1_parse.h"

#include <limits>

namespace {

constexpr std::int64_t kInt32Limit = std::int64_t{1} << 31;  // one past INT32_MAX

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

G1Parsed refuse(G1Parsed p, G1ParseError error, std::size_t field, std::size_t offset) {
    p.error = error;
    p.field = field;
    p.offset = offset;
    return p;
}

// A field that ends before its first digit: at the end of the text, at a comma or elsewhere.
G1ParseError no_digits(std::string_view d, std::size_t at, bool negative) {
    if (at == d.size()) {
        return negative ? G1ParseError::MissingComma : G1ParseError::TooFewFields;
    }
    return d[at] == ',' && !negative ? G1ParseError::EmptyField : G1ParseError::UnexpectedCharacter;
}

const char* describe(G1ParseError error) {
    switch (error) {
        case G1ParseError::None: return "well formed";
        case G1ParseError::TooLong: return "longer than 159 bytes";
        case G1ParseError::NoTag: return "does not start with \"G1,\"";
        case G1ParseError::EmptyField: return "empty";
        case G1ParseError::UnexpectedCharacter: return "unexpected character";
        case G1ParseError::LeadingZero: return "leading zero";
        case G1ParseError::NegativeZero: return "\"-0\" is not written for zero";
        case G1ParseError::OutOfRange: return "outside the signed 32-bit range";
        case G1ParseError::MissingComma: return "not ended by a comma";
        case G1ParseError::TooFewFields: return "fewer than 13 fields";
        case G1ParseError::TooManyFields: return "more than 13 fields";
    }
    return "unknown fault";
}

}  // namespace

G1Parsed g1_parse(std::string_view d) {
    G1Parsed p{};
    if (d.size() > kG1MaxLength) {
        return refuse(p, G1ParseError::TooLong, 0, kG1MaxLength);
    }
    if (!d.starts_with(kG1Tag)) {
        return refuse(p, G1ParseError::NoTag, 0, 0);
    }
    std::size_t at = kG1Tag.size();
    for (std::size_t f = 0; f < kG1FieldCount; ++f) {
        const std::size_t number = f + 1;
        if (at == d.size()) {
            return refuse(p, G1ParseError::TooFewFields, number, at);
        }
        const std::size_t start = at;
        const bool negative = d[at] == '-';
        if (negative) {
            ++at;
        }
        const std::size_t first_digit = at;
        std::int64_t magnitude = 0;
        while (at < d.size() && is_digit(d[at])) {
            if (at > first_digit && d[first_digit] == '0') {
                return refuse(p, G1ParseError::LeadingZero, number, first_digit);
            }
            magnitude = magnitude * 10 + (d[at] - '0');
            if (magnitude > kInt32Limit) {
                return refuse(p, G1ParseError::OutOfRange, number, start);
            }
            ++at;
        }
        if (at == first_digit) {
            return refuse(p, no_digits(d, at, negative), number, at);
        }
        if (at == d.size()) {
            return refuse(p, G1ParseError::MissingComma, number, at);
        }
        if (d[at] != ',') {
            return refuse(p, G1ParseError::UnexpectedCharacter, number, at);
        }
        if (negative && magnitude == 0) {
            return refuse(p, G1ParseError::NegativeZero, number, start);
        }
        const std::int64_t value = negative ? -magnitude : magnitude;
        if (value > std::numeric_limits<std::int32_t>::max()) {
            return refuse(p, G1ParseError::OutOfRange, number, start);
        }
        p.fields[f] = static_cast<std::int32_t>(value);
        ++at;
    }
    if (at != d.size()) {
        const bool number_follows = is_digit(d[at]) || d[at] == '-';
        return refuse(
            p, number_follows ? G1ParseError::TooManyFields : G1ParseError::UnexpectedCharacter, 0,
            at);
    }
    p.error = G1ParseError::None;
    return p;
}

std::string g1_parse_reason(const G1Parsed& p) {
    std::string reason;
    if (p.field != 0) {
        reason = "field " + std::to_string(p.field) + ": ";
    }
    reason += describe(p.error);
    if (p.error != G1ParseError::None) {
        reason += " (byte " + std::to_string(p.offset) + ")";
    }
    return reason;
}

std::int64_t g1_unwrap_time(G1TimeUnwrap& s, std::int32_t field) {
    if (!s.started) {
        s.started = true;
        s.last = field;
        s.running_us = field;
        return s.running_us;
    }
    const auto step = static_cast<std::int32_t>(static_cast<std::uint32_t>(field) -
                                                static_cast<std::uint32_t>(s.last));
    if (step > 0 && field < s.last) {
        ++s.wraps;
    }
    s.last = field;
    constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
    if (step > 0 && s.running_us > kHighest - step) {
        s.running_us = kHighest;
    } else if (step < 0 && s.running_us < kLowest - step) {
        s.running_us = kLowest;
    } else {
        s.running_us += step;
    }
    return s.running_us;
}
