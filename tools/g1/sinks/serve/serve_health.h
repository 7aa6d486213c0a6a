// The link's health as `g1 serve` shows it live: datagrams per second over the last second,
// the largest gap of the last minute, malformed datagrams, senders filtered out, time wraps.
// No clock here; the caller passes the arrival times (any steady clock, in nanoseconds).
#pragma once

#include "tools/g1/receive/receive.h"

#include <array>
#include <cstdint>

inline constexpr std::int64_t kRateSlotNs = 100'000'000;  // the rate counts whole 100 ms slots
inline constexpr std::size_t kRateSlots = 10;             // one second of them
inline constexpr std::int64_t kGapSlotNs = 1'000'000'000;
inline constexpr std::size_t kGapSlots = 60;  // gaps of the last minute

// One slot of a sliding window: which period it holds (its start / slot length) and its figure.
struct HealthSlot {
    std::int64_t period = -1;
    std::int64_t value = 0;
};

// One stream of arrivals: all of them, or one sender's.
struct ArrivalWindows {
    std::uint64_t datagrams = 0;  // arrivals noted
    std::int64_t last_ns = 0;
    std::array<HealthSlot, kRateSlots + 1> arrivals{};  // count per 100 ms, and the one filling
    std::array<HealthSlot, kGapSlots> gaps{};           // largest gap ending in each second
};

struct ServeHealth {
    Receiver receiver;    // the sender filter, the counts, each sender's running time
    ArrivalWindows link;  // from accepted senders, malformed included
};

// What the page is told.
struct HealthFigures {
    std::uint64_t datagrams = 0;
    std::uint64_t malformed = 0;
    std::uint64_t other_senders = 0;
    std::uint64_t wraps = 0;
    std::uint64_t turned_away = 0;  // datagrams of senders that found the senders' table full
    double rate_hz = 0.0;
    double largest_gap_ms = 0.0;
    std::int64_t idle_ms = -1;  // since the last datagram; -1 before the first
};

// A datagram from an accepted sender arrived at `now_ns`; parsing is the caller's.
void health_note_arrival(ServeHealth& health, std::int64_t now_ns);

HealthFigures health_figures(const ServeHealth& health, std::int64_t now_ns);

// The same for one stream: its datagrams, rate, largest gap and idle time (no counts).
void arrivals_note(ArrivalWindows& windows, std::int64_t now_ns);
HealthFigures arrival_figures(const ArrivalWindows& windows, std::int64_t now_ns);
