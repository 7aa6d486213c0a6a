// MessageId: the 64-bit FNV-1a hash of a message name including its terminating zero byte.
#pragma once

#include <cstdint>
#include <string_view>

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

// Each byte enters as a signed char widened to 64 bits; for the 7-bit names this is plain
// FNV-1a, but it keeps ids of any other byte identical to the host's.
constexpr std::uint64_t message_id(std::string_view name) {
    std::uint64_t hash = kFnvOffsetBasis;
    for (char c : name) {
        hash ^= static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<signed char>(c)));
        hash *= kFnvPrime;
    }
    return hash * kFnvPrime;  // the terminating zero: its exclusive-or changes nothing
}

static_assert(message_id("Aircraft.Pitch") == 0x98489fca9a0c6699ull);
static_assert(message_id("Simulation.Time") == 0x9ca7fb58f287a1f3ull);
static_assert(message_id("View.Up") == 0x1a511e5141cbaacdull);
