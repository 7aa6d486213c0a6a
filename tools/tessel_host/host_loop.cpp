// Real-time pacing of the host emulator's frames.
#include "tools/tessel_host/host_loop.h"

#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>

namespace {

using Time = std::chrono::nanoseconds;
using Seconds = std::chrono::duration<double>;

constexpr Time kProgressPeriod = std::chrono::milliseconds(250);

struct Run {
    const HostPlan& plan;
    const HostCalls& calls;
    HostProgress progress;
    Time start = calls.clock.now();
    Time last_report = start;
};

Time now(const Run& run) {
    return run.calls.clock.now();
}

bool time_is_up(const Run& run) {
    return (run.plan.seconds > 0.0 && run.progress.elapsed >= run.plan.seconds) ||
           (run.plan.frames != 0 && run.progress.frames >= run.plan.frames);
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
    const Time at = now(run);
    if (run.calls.progress && at - run.last_report >= kProgressPeriod) {
        run.last_report = at;
        run.calls.progress(run.progress);
    }
    return true;
}

// Sleeps until `due`, then notes the elapsed time; false when asked to stop.
bool wait_until(Run& run, Time due) {
    run.calls.clock.sleep_until(due);
    run.progress.elapsed = Seconds(now(run) - run.start).count();
    if (run.calls.stop_requested && run.calls.stop_requested()) {
        run.progress.stopped = true;
        return false;
    }
    return true;
}

void run_scenario(Run& run) {
    const auto period = std::chrono::duration_cast<Time>(Seconds(1.0 / run.plan.rate_hz));
    Scenario scenario = scenario_start(run.plan.scenario);
    StreamFrame frame;
    double dt = 1.0 / run.plan.rate_hz;  // the first frame has no predecessor to measure from
    Time previous = run.start;
    Time due = run.start;
    while (!time_is_up(run)) {
        scenario_frame(scenario, dt, frame);
        if (!send(run, frame)) {
            return;
        }
        due += period;
        if (!wait_until(run, due)) {
            return;
        }
        const Time at = now(run);
        if (!run.plan.fixed_step) dt = Seconds(at - previous).count();
        previous = at;
        if (at - due > period) {
            due = at;  // fell behind (a slow plug-in, a suspended process): no burst to catch up
        }
    }
}

void run_replay(Run& run) {
    Time due = run.start;
    bool first = true;
    for (const StreamFrame& frame : *run.plan.replay) {
        if (!first) {
            due += std::chrono::duration_cast<Time>(Seconds(frame.dt));
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
    run.progress.elapsed = Seconds(now(run) - run.start).count();
    return run.progress;
}

HostClock host_steady_clock() {
    using Steady = std::chrono::steady_clock;
    const Steady::time_point origin = Steady::now();
    return {[origin] { return std::chrono::duration_cast<Time>(Steady::now() - origin); },
            [origin](Time at) { std::this_thread::sleep_until(origin + at); }};
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
