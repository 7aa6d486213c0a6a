// The figures the check judges a plug-in by: how long Update takes against the host's frame
// budgets, and whether handles or memory grow from one Init/Shutdown cycle to the next.
#pragma once

#include <cstddef>
#include <span>
#include <string>

inline constexpr double kFrameBudget60HzMs = 1000.0 / 60.0;
inline constexpr double kFrameBudget120HzMs = 1000.0 / 120.0;

struct UpdateTimes {
    std::size_t frames = 0;
    double p50_ms = 0.0;
    double p99_ms = 0.0;
    double worst_ms = 0.0;
};

// Nearest-rank percentiles of the times, in milliseconds.
UpdateTimes update_times(std::span<const double> times_ms);

// "Update over 600 stress frames: p50 0.05 ms, p99 0.08 ms, worst 0.31 ms".
std::string update_times_line(const UpdateTimes& times, const char* scenario);

// The typical frame (p50) decides whether the plug-in fits a budget at all; the slowest
// frames (p99) whether it makes the host stutter now and then. A machine busy with other work
// delays a few frames of any plug-in, so those only warn.
enum class TimingVerdict {
    Fits120Hz,     // p99 within 8.3 ms
    Stutters,      // p50 within 8.3 ms, p99 beyond it: one frame in a hundred or more runs late
    Fits60HzOnly,  // p50 beyond 8.3 ms: a 120 Hz host misses most frames
    TooSlow,       // p50 beyond 16.7 ms: the host misses most frames at 60 Hz
};
TimingVerdict timing_verdict(const UpdateTimes& times);

// A figure read after every cycle (handles, bytes in use). The first cycles may fill caches of
// the system's own once; the growth is judged from then on.
inline constexpr std::size_t kWarmUpCycles = 4;

struct Growth {
    double per_cycle = 0.0;  // the rise after the warm-up, per cycle
    bool grows = false;      // per_cycle at or beyond the limit
    bool measured = false;   // enough cycles after the warm-up to judge (two at least)
};

Growth cycle_growth(std::span<const double> after_each_cycle, double per_cycle_limit);
