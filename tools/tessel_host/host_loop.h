// The host emulator's frame loop: paces frames in real time, hands each to the plug-in with the
// real time step, records them if asked, and reports progress. The plug-in and the clock are
// reached through callbacks, so the loop runs natively as well as in the Windows host, and a
// test can pace it by a clock of its own.
#pragma once

#include "tools/tessel_host/scenario.h"
#include "tools/tessel_host/stream_file.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

struct HostPlan {
    ScenarioKind scenario = ScenarioKind::Circuit;
    double rate_hz = 60.0;
    double seconds = 60.0;     // 0: until stopped (or the replay's end)
    std::uint64_t frames = 0;  // 0: no limit
    // Every frame steps the flight by exactly 1 / rate_hz rather than by the time that passed,
    // so two runs of a scenario send the same frames.
    bool fixed_step = false;
    const std::vector<StreamFrame>* replay = nullptr;  // frames to send instead of the scenario
    std::ostream* record = nullptr;                    // where to write the frames sent
};

struct HostProgress {
    std::uint64_t frames = 0;
    std::uint64_t records = 0;
    std::uint64_t refused = 0;  // frames for which Update returned false
    double elapsed = 0.0;       // seconds since the first frame
    bool stopped = false;       // the stop callback ended the run
    bool record_failed = false;
};

// A steady clock: the time since some fixed start, and a wait until a time on that scale.
struct HostClock {
    std::function<std::chrono::nanoseconds()> now;
    std::function<void(std::chrono::nanoseconds)> sleep_until;
};

HostClock host_steady_clock();

struct HostCalls {
    std::function<bool(const StreamFrame&)> update;  // the plug-in's Update result
    std::function<bool()> stop_requested;
    std::function<void(const HostProgress&)> progress;  // a few times a second
    HostClock clock = host_steady_clock();
};

HostProgress host_run(const HostPlan& plan, const HostCalls& calls);

// "frame 540   9.0 s of 15.0 s   60.0 Hz", for one updating console line.
std::string host_progress_line(const HostPlan& plan, const HostProgress& progress);

// "sent 900 frames (21600 records) in 15.00 s, 60.0 Hz", and what ended the run.
std::string host_summary(const HostProgress& progress);
