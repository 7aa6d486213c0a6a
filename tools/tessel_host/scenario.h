// The host emulator's built-in scenarios: the frames a host would send, made fresh each frame.
//   circuit: the flight model's values as the tracked messages, plus one record of every data
//            type and one id that no catalogue has, so the monitor shows every kind of line.
//   stress:  the circuit's records filled up to 400 a frame with catalogue messages.
#pragma once

#include "plugin/host/message_id.h"
#include "tools/message_stream/stream_builder.h"
#include "tools/tessel_host/flight_model.h"
#include "tools/tessel_host/stream_file.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

enum class ScenarioKind { Circuit, Stress };

inline constexpr std::size_t kStressRecords = 400;
// Counts the frames; a host-side message that no catalogue knows, so it shows as "unknown".
inline constexpr std::uint64_t kFrameNumberId = message_id("Host.Emulator.FrameNumber");

struct Scenario {
    ScenarioKind kind = ScenarioKind::Circuit;
    FlightState flight = flight_start();
    std::uint64_t frames = 0;
    StreamBuilder builder;  // keeps its storage from frame to frame
};

bool scenario_from_name(std::string_view name, ScenarioKind& kind);
const char* scenario_name(ScenarioKind kind);

Scenario scenario_start(ScenarioKind kind);

// Advances the flight by `dt` and writes the next frame, with `dt` as its time step.
void scenario_frame(Scenario& scenario, double dt, StreamFrame& frame);
