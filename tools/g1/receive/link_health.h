// Each sender's link as an operator judges it, kept by the receive step and read by every g1
// command alike: datagrams, malformed ones, the rate, the gaps of the last minute, the frames the
// simulator's time says were lost, the pauses, the time wraps and the drift of the simulator's
// time against the wall's. No clock here: the caller passes arrival times (a steady clock).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::int64_t kGapSlotLengthNs = 5'000'000'000;
inline constexpr std::size_t kGapSlotCount = 12;     // a minute of gaps
inline constexpr std::size_t kGapBucketCount = 112;  // quarter octaves from 1 us, up to 268 s
inline constexpr std::size_t kFrameSteps = 16;       // the frame time: the median of these steps
inline constexpr std::size_t kFrameLearnSteps = 4;   // steps of a flight before it is judged

// The gaps that ended in one period of kGapSlotLengthNs, as counts per quarter octave.
struct GapSlot {
    std::int64_t period = -1;
    std::array<std::uint32_t, kGapBucketCount> counts{};
};

struct LinkHealth {
    std::uint64_t datagrams = 0;  // malformed included
    std::uint64_t malformed = 0;
    std::uint64_t frames_lost = 0;
    std::uint64_t pauses = 0;  // times the simulator's time stood still while datagrams came
    std::uint64_t wraps = 0;
    std::int64_t first_ns = 0;                   // the first arrival
    std::int64_t last_ns = 0;                    // the latest
    std::array<std::int64_t, 2> second{-1, -1};  // the second now filling and the one before
    std::array<std::uint64_t, 2> in_second{};    // their arrivals
    std::array<GapSlot, kGapSlotCount> gaps{};
    // The simulator's time, from well-formed datagrams.
    bool timed = false;
    bool standing = false;  // the time has not moved since the datagram before
    std::int64_t last_time_us = 0;
    std::array<std::int64_t, kFrameSteps> steps{};  // the latest forward steps, a ring
    std::size_t step_count = 0;
    std::int64_t anchor_time_us = 0;  // a flight's first time and its arrival, for the drift
    std::int64_t anchor_ns = 0;
    std::int64_t drift_us = 0;
};

// What a person or a scraper is shown of one sender.
struct LinkFigures {
    std::uint32_t ip = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t malformed = 0;
    std::uint64_t frames_lost = 0;
    std::uint64_t pauses = 0;
    std::uint64_t wraps = 0;
    double rate_hz = 0.0;    // arrivals in the last whole second
    double gap_p50_s = 0.0;  // over the last minute; 0 before the second datagram
    double gap_p99_s = 0.0;
    std::uint64_t gaps = 0;  // all of them, and their sum: the time from the first to the latest
    double gaps_s = 0.0;
    double frame_s = 0.0;  // the frame time learned from the stream; 0 while unknown
    double drift_s = 0.0;  // simulator time run minus wall time run since the flight began
    double idle_s = 0.0;   // since the latest datagram
};

// A datagram of this sender arrived at `now_ns`: counted, its gap noted.
void link_note_arrival(LinkHealth& link, std::int64_t now_ns, bool malformed);

// Its running (unwrapped) time, for a well-formed one; `wrapped` as the unwrapping said.
void link_note_time(LinkHealth& link, std::int64_t time_us, bool wrapped);

LinkFigures link_figures(const LinkHealth& link, std::uint32_t ip, std::int64_t now_ns);
