// `tessel-host PLUGIN.dll --watch`: the plug-in flown from a shadow copy beside the original, so
// the original is never locked and a build can replace it. When the original has changed and
// held still, the running copy has Shutdown and is unloaded, the new build is copied, loaded
// and started, and the flight goes on. A build that is refused leaves the flight going without
// a plug-in, with the check's findings saying why, until the next one.
#pragma once

#include "tools/common/plugin_binding_win32.h"
#include "tools/tessel_host/reload_watch.h"
#include "tools/tessel_host/stream_file.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct PluginWatch {
    std::string original;  // full path
    std::string shown;     // as the user gave it
    std::function<void(const std::string& line)> say;
    PluginBinding plugin;
    std::string shadow;  // the copy the plug-in was loaded from; empty when none is loaded
    bool live = false;   // started: frames go to it
    ReloadWatch watch;
    int generation = 0;
    int reloads = 0;
    int refusals = 0;
    std::uint64_t frames = 0;
    std::uint64_t frames_without = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_look;
};

// Loads the first build, if there is a good one; the flight starts either way.
void watch_begin(PluginWatch& w, const std::string& path,
                 std::function<void(const std::string&)> say);

// Before every frame: looks at the original now and then, reloads when it is due, then hands
// the frame to the plug-in if one runs. Update's result (true without a plug-in).
bool watch_frame(PluginWatch& w, const StreamFrame& frame);

// Shutdown, unload, the shadow copy removed.
void watch_end(PluginWatch& w);

// "3 reloads, 1 refused; 95 frames flown without a plug-in".
std::string watch_summary(const PluginWatch& w);
