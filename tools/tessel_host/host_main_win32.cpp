// tessel-host: loads a plug-in DLL and drives it as the simulation host does, from a built-in
// scenario or a recorded stream file, so a plug-in can be run and shown without the simulator;
// checks a plug-in (--check) and reloads each new build during a flight (--watch).
#include "tessel_version.h"
#include "tools/common/interrupt.h"
#include "tools/common/plugin_binding_win32.h"
#include "tools/common/udp.h"
#include "tools/tessel_host/check_figures.h"
#include "tools/tessel_host/export_guard_win32.h"
#include "tools/tessel_host/host_loop.h"
#include "tools/tessel_host/plugin_check_win32.h"
#include "tools/tessel_host/plugin_watch_win32.h"

#include <io.h>
#include <windows.h>
#include <CLI/CLI.hpp>

// The timer resolution calls, which the lean windows.h leaves out and which need its types.
#include <mmsystem.h>

#include <cstdio>
#include <fstream>

namespace {

constexpr int kExitRefused = 1;     // not a plug-in, Init failed, or an export crashed
constexpr int kExitArguments = 2;   // arguments that parse but cannot be honoured
constexpr int kExitStreamFile = 2;  // the replay file is unreadable or the record file unwritable
constexpr int kExitWinsock = 3;

struct Options {
    std::string plugin;
    std::string scenario = "circuit";
    double rate = 60.0;
    double seconds = 60.0;
    std::uint64_t frames = 0;
    bool fixed_step = false;
    std::string replay;
    std::string record;
    bool check = false;
    bool watch = false;
};

constexpr std::uint64_t kCheckFrames = 600;
// The check keeps each Update's time: more would only ask for memory the machine may not have.
constexpr std::uint64_t kCheckFramesMost = 10'000'000;

void fail(const std::string& message) {
    std::fprintf(stderr, "tessel-host: %s\n", message.c_str());
}

void add_options(CLI::App& app, Options& o) {
    app.add_option("PLUGIN", o.plugin, "The plug-in DLL to load")->required();
    app.add_option("--scenario", o.scenario, "Built-in frames to send: circuit or stress")
        ->check(CLI::IsMember({"circuit", "stress"}))
        ->capture_default_str();
    app.add_option("--rate", o.rate, "Frames a second")
        ->check(CLI::Range(1.0, 1000.0))
        ->capture_default_str();
    app.add_option("--seconds", o.seconds, "How long to run; 0 runs until Ctrl+C")
        ->check(CLI::Range(0.0, 1.0e7))
        ->capture_default_str();
    app.add_option("--frames", o.frames, "Stop after this many frames (0: no limit)");
    app.add_flag("--fixed-step", o.fixed_step,
                 "Step the flight by exactly 1/rate every frame, not by the time that passed, "
                 "so runs repeat frame for frame");
    app.add_option("--replay", o.replay, "Send the frames of this stream file instead");
    app.add_option("--record", o.record, "Write the frames sent to this stream file");
    app.add_flag(
        "--check", o.check,
        "Check the plug-in as the host would load and drive it, and say what is wrong "
        "and what to do (--frames: the Updates timed, 600 unless given, 10000000 at most)");
    app.add_flag("--watch", o.watch,
                 "Fly a shadow copy and reload the plug-in whenever a new build of it is complete");
}

// A line of its own, also on a console where the progress line is being rewritten.
void say(const std::string& line) {
    if (::_isatty(::_fileno(stdout)) != 0) {
        std::printf("\r%-60s\r", "");
    }
    std::printf("tessel-host: %s\n", line.c_str());
    std::fflush(stdout);
}

CheckReport run_findings() {
    CheckReport r;
    r.write = [](Severity severity, const std::string& line) {
        if (severity != Severity::Passed) say(line);
    };
    return r;
}

int check(const Options& o) {
    CheckReport r;
    r.write = [](Severity, const std::string& line) {
        std::printf("check: %s\n", line.c_str());
        std::fflush(stdout);
    };
    CheckPlan plan;
    plan.frames = o.frames != 0 ? o.frames : kCheckFrames;
    const int rc = plugin_check(o.plugin, plan, r);
    std::printf("%s\n", check_verdict(o.plugin, r).c_str());
    return rc;
}

// Progress goes on one line that rewrites itself, on a console only.
void show_progress(const HostPlan& plan, const HostProgress& progress) {
    std::printf("\r%-60s", host_progress_line(plan, progress).c_str());
    std::fflush(stdout);
}

std::string frames_source(const Options& o, const HostPlan& plan) {
    return plan.replay != nullptr ? "replaying " + o.replay : o.scenario + " scenario";
}

// One flight; `update` hands a frame to the plug-in. Ends the console's progress line.
HostProgress fly(HostPlan& plan, const std::function<bool(const StreamFrame&)>& update) {
    const bool console = ::_isatty(::_fileno(stdout)) != 0;
    HostCalls calls;
    calls.update = update;
    calls.stop_requested = interrupt_requested;
    if (console) {
        calls.progress = [&](const HostProgress& p) { show_progress(plan, p); };
    }
    const HostProgress done = host_run(plan, calls);
    if (console) {
        std::printf("\n");
    }
    return done;
}

int drive_watching(const Options& o, HostPlan& plan) {
    PluginWatch watch;
    std::printf("tessel-host: %s\n", frames_source(o, plan).c_str());
    watch_begin(watch, o.plugin, say);
    const HostProgress done =
        fly(plan, [&](const StreamFrame& frame) { return watch_frame(watch, frame); });
    watch_end(watch);
    std::printf("tessel-host: %s\n", host_summary(done).c_str());
    say("watch: " + watch_summary(watch));
    return done.record_failed ? kExitStreamFile : 0;
}

int drive(const Options& o, HostPlan& plan) {
    if (o.watch) {
        return drive_watching(o, plan);
    }
    PluginBinding plugin;
    CheckReport findings = run_findings();
    if (!plugin_load_checked(o.plugin, o.plugin, plugin, findings)) {
        return kExitRefused;
    }
    std::printf("tessel-host: %s, interface version %d; %s\n", o.plugin.c_str(),
                kPluginInterfaceVersion, frames_source(o, plan).c_str());
    bool started = false;
    GuardedCall call = guarded_call([&] { started = plugin.init(nullptr); });
    if (!call.returned || !started) {
        if (call.returned) {
            fail("the plug-in's Init returned false");
            plugin_unbind(plugin);
        } else {
            report_escape(findings, kExportInit, call, "");
        }
        return kExitRefused;
    }
    bool crashed = false;
    const HostProgress done = fly(plan, [&](const StreamFrame& frame) {
        if (crashed) return true;  // the rest of the run goes by without the plug-in
        bool handled = false;
        call = guarded_call([&] {
            handled = plugin_update(plugin, frame.dt, frame.bytes.data(),
                                    static_cast<std::uint32_t>(frame.bytes.size()), frame.count)
                          .returned;
        });
        crashed = !call.returned;
        if (crashed) {
            report_escape(findings, kExportUpdate, call, "");
            plan.frames = 1;  // ends the run after this frame
        }
        return handled;
    });
    if (crashed) {
        return kExitRefused;
    }
    call = guarded_call([&] { plugin.shutdown(); });
    if (!call.returned) {
        report_escape(findings, kExportShutdown, call, "");
        return kExitRefused;
    }
    plugin_unbind(plugin);
    std::printf("tessel-host: %s\n", host_summary(done).c_str());
    if (done.record_failed) {
        fail("could not write the record file " + o.record);
        return kExitStreamFile;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Drives a plug-in DLL as the simulation host does: Init, one Update a frame at "
        "the given rate with the real time step, then Shutdown."};
    app.set_version_flag("--version", std::string("tessel-host ") + kTesselVersion);
    Options o;
    add_options(app, o);
    CLI11_PARSE(app, argc, argv);
    if (o.check && o.frames > kCheckFramesMost) {
        fail("--check times at most " + std::to_string(kCheckFramesMost) + " frames, not " +
             std::to_string(o.frames));
        return kExitArguments;
    }

    HostPlan plan;
    scenario_from_name(o.scenario, plan.scenario);
    plan.rate_hz = o.rate;
    plan.seconds = o.seconds;
    plan.frames = o.frames;
    plan.fixed_step = o.fixed_step;
    std::vector<StreamFrame> replay;
    std::string error;
    if (!o.replay.empty()) {
        if (!stream_file_load(o.replay, replay, error)) {
            fail(error);
            return kExitStreamFile;
        }
        plan.replay = &replay;
        if (app.count("--seconds") == 0) {
            plan.seconds = 0.0;  // the whole file
        }
    }
    std::ofstream record;
    if (!o.record.empty()) {
        record.open(o.record, std::ios::binary | std::ios::trunc);
        if (!record) {
            fail("cannot create the record file " + o.record);
            return kExitStreamFile;
        }
        plan.record = &record;
    }

    interrupt_install();
    // The host initialises Winsock before the plug-in's first Update; the plug-in relies on it.
    if (!udp_startup(error)) {
        fail(error);
        return kExitWinsock;
    }
    ::timeBeginPeriod(1);  // frames at 60 Hz need sleeps finer than the default 15.6 ms tick
    const int rc = o.check ? check(o) : drive(o, plan);
    ::timeEndPeriod(1);
    udp_cleanup();
    return rc;
}
