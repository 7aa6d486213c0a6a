// InfluxDB's line protocol for G1: one point per datagram, measurement g1, tag sender, the
// thirteen values as the page shows them, stamped with the sender's own time laid on the wall
// clock, so a series keeps the simulator's spacing rather than the network's.
#pragma once

#include "tools/g1/sinks/text/display_texts.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kInfluxMeasurement = "g1";
inline constexpr std::string_view kInfluxSenderTag = "sender";
// A step of the simulator's time this much past the wall clock's since the last datagram is
// another flight (a time going back is one too): it is laid on the wall clock afresh.
inline constexpr std::int64_t kInfluxNewFlightNs = 60'000'000'000;

// Where one sender's simulator time lies on the wall clock.
struct InfluxAnchor {
    bool set = false;
    std::int64_t wall_ns = 0;  // the wall clock at the anchoring datagram
    std::int64_t time_us = 0;  // that datagram's simulator time
    std::int64_t last_time_us = 0;
    std::int64_t last_at_ns = 0;  // the latest datagram's arrival, on any steady clock
};

// The point's time (ns since the epoch) of a datagram with simulator time `time_us` that arrived
// at `at_ns` (steady clock) when the wall clock said `wall_ns`; anchors on the first datagram and
// on each new flight.
std::int64_t influx_time_ns(InfluxAnchor& anchor, std::int64_t time_us, std::int64_t at_ns,
                            std::int64_t wall_ns);

// Appends `g1,sender=a.b.c.d time_s=...,velocity_x=...,... TIME\n`.
void influx_line(std::string& out, std::uint32_t sender, const DisplayTexts& texts,
                 std::int64_t time_ns);
