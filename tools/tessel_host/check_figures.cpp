// Percentiles of Update times and growth over cycles.
#include "tools/tessel_host/check_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

double nearest_rank(const std::vector<double>& sorted, double fraction) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

UpdateTimes update_times(std::span<const double> times_ms) {
    UpdateTimes t;
    t.frames = times_ms.size();
    if (times_ms.empty()) return t;
    std::vector<double> sorted(times_ms.begin(), times_ms.end());
    std::sort(sorted.begin(), sorted.end());
    t.p50_ms = nearest_rank(sorted, 0.50);
    t.p99_ms = nearest_rank(sorted, 0.99);
    t.worst_ms = sorted.back();
    return t;
}

std::string update_times_line(const UpdateTimes& t, const char* scenario) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Update over %zu %s frames: p50 %.3f ms, p99 %.3f ms, worst %.3f ms", t.frames,
                  scenario, t.p50_ms, t.p99_ms, t.worst_ms);
    return text;
}

TimingVerdict timing_verdict(const UpdateTimes& t) {
    if (t.p50_ms > kFrameBudget60HzMs) return TimingVerdict::TooSlow;
    if (t.p50_ms > kFrameBudget120HzMs) return TimingVerdict::Fits60HzOnly;
    if (t.p99_ms > kFrameBudget120HzMs) return TimingVerdict::Stutters;
    return TimingVerdict::Fits120Hz;
}

Growth cycle_growth(std::span<const double> after_each_cycle, double per_cycle_limit) {
    Growth g;
    if (after_each_cycle.size() < kWarmUpCycles + 2) return g;
    g.measured = true;
    const std::span<const double> judged = after_each_cycle.subspan(kWarmUpCycles - 1);
    g.per_cycle = (judged.back() - judged.front()) / static_cast<double>(judged.size() - 1);
    g.grows = g.per_cycle >= per_cycle_limit;
    return g;
}
