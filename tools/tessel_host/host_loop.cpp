// Real-time pacing of the host emulator's frames.
#include "tools/tessel_host/host_loop.h"

#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr Seconds kProgressPeriod{0.25};

struct Run {
    const HostPlan& plan;
    const HostCalls& calls;
    HostProgress progress;
    Clock::time_point start = Clock::now();
    Clock::time_point last_report = start;
};

bool time_is_up(const Run& run) {
    return run.plan.seconds > 0.0 && run.progress.elapsed >= run.plan.seconds;
}

// Sends one frame and records it; false when the run must end.
bool send(Run& run, const StreamFrame& frame) {
    if (!run.calls.update(frame)) {
        ++run.progress.refused;
    }
    ++run.progress.frames;
    run.progress.records += frame.count;
    if (run.plan.record != nullptr && !stream_write_frame(*run.plan.record, frame)) {
        run.progress.record_failed = true;
        return false;
    }
    const Clock::time_point now = Clock::now();
    if (run.calls.progress && now - run.last_report >= kProgressPeriod) {
        run.last_report = now;
        run.calls.progress(run.progress);
    }
    return true;
}

// Sleeps until `due`, then notes the elapsed time; false when asked to stop.
bool wait_until(Run& run, Clock::time_point due) {
    std::this_thread::sleep_until(due);
    run.progress.elapsed = Seconds(Clock::now() - run.start).count();
    if (run.calls.stop_requested && run.calls.stop_requested()) {
        run.progress.stopped = true;
        return false;
    }
    return true;
}

void run_scenario(Run& run) {
    const auto period =
        std::chrono::duration_cast<Clock::duration>(Seconds(1.0 / run.plan.rate_hz));
    Scenario scenario = scenario_start(run.plan.scenario);
    StreamFrame frame;
    double dt = 1.0 / run.plan.rate_hz;  // the first frame has no predecessor to measure from
    Clock::time_point previous = run.start;
    Clock::time_point due = run.start;
    while (!time_is_up(run)) {
        scenario_frame(scenario, dt, frame);
        if (!send(run, frame)) {
            return;
        }
        due += period;
        if (!wait_until(run, due)) {
            return;
        }
        const Clock::time_point now = Clock::now();
        dt = Seconds(now - previous).count();
        previous = now;
        if (now - due > period) {
            due = now;  // fell behind (a slow plug-in, a suspended process): no burst to catch up
        }
    }
}

void run_replay(Run& run) {
    Clock::time_point due = run.start;
    bool first = true;
    for (const StreamFrame& frame : *run.plan.replay) {
        if (!first) {
            due += std::chrono::duration_cast<Clock::duration>(Seconds(frame.dt));
            if (!wait_until(run, due) || time_is_up(run)) {
                return;
            }
        }
        first = false;
        if (!send(run, frame)) {
            return;
        }
    }
}

}  // namespace

HostProgress host_run(const HostPlan& plan, const HostCalls& calls) {
    Run run{plan, calls, {}};
    if (plan.record != nullptr && !stream_write_header(*plan.record)) {
        run.progress.record_failed = true;
        return run.progress;
    }
    if (plan.replay != nullptr) {
        run_replay(run);
    } else {
        run_scenario(run);
    }
    if (plan.record != nullptr && !run.progress.record_failed) {
        run.progress.record_failed = !plan.record->flush();
    }
    run.progress.elapsed = Seconds(Clock::now() - run.start).count();
    return run.progress;
}

std::string host_progress_line(const HostPlan& plan, const HostProgress& p) {
    char text[128];
    const double rate = p.elapsed > 0.0 ? static_cast<double>(p.frames) / p.elapsed : 0.0;
    if (plan.seconds > 0.0) {
        std::snprintf(text, sizeof text, "frame %llu   %.1f s of %.1f s   %.1f Hz",
                      static_cast<unsigned long long>(p.frames), p.elapsed, plan.seconds, rate);
    } else {
        std::snprintf(text, sizeof text, "frame %llu   %.1f s   %.1f Hz",
                      static_cast<unsigned long long>(p.frames), p.elapsed, rate);
    }
    return text;
}

std::string host_summary(const HostProgress& p) {
    char text[160];
    const double rate = p.elapsed > 0.0 ? static_cast<double>(p.frames) / p.elapsed : 0.0;
    std::snprintf(text, sizeof text, "sent %llu frames (%llu records) in %.2f s, %.1f Hz",
                  static_cast<unsigned long long>(p.frames),
                  static_cast<unsigned long long>(p.records), p.elapsed, rate);
    std::string summary = text;
    if (p.refused > 0) {
        summary += "; Update returned false for " + std::to_string(p.refused) + " frames";
    }
    if (p.stopped) {
        summary += "; stopped by Ctrl+C";
    }
    return summary;
}
