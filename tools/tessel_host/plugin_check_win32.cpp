// The check's steps, in the order a host meets a plug-in: the file, the load and the DLLs it
// needs, the exports and the version, Init, the frames, Shutdown and what it leaves, and many
// sessions in one process.
#include "tools/tessel_host/plugin_check_win32.h"

#include "tools/common/process_resources_win32.h"
#include "tools/tessel_host/check_figures.h"
#include "tools/tessel_host/dependency_walk.h"
#include "tools/tessel_host/export_match.h"
#include "tools/tessel_host/pe_image.h"
#include "tools/tessel_host/process_census_win32.h"
#include "tools/tessel_host/scenario.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

namespace {

constexpr double kFrameStep = 1.0 / 60.0;
constexpr int kUpdatesPerCycle = 3;
constexpr DWORD kLeftoverWaitMs = 2000;             // for threads and windows to end after Shutdown
constexpr double kHandleGrowthLimit = 0.5;          // handles a cycle
constexpr double kHeapGrowthLimit = 16.0 * 1024.0;  // bytes a cycle

using Clock = std::chrono::steady_clock;

std::optional<std::vector<std::uint8_t>> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string folder_of(const std::string& path) {
    const std::size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? "." : path.substr(0, at);
}

std::string full_path(const std::string& path) {
    char full[MAX_PATH] = {};
    const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return n > 0 && n < MAX_PATH ? std::string(full, n) : path;
}

// The folders the loader searches for the DLLs of a DLL loaded with
// LOAD_WITH_ALTERED_SEARCH_PATH, in its order (safe DLL search mode, the default).
std::vector<SearchFolder> loader_folders(const std::string& plugin_path) {
    char system[MAX_PATH] = {};
    char windows[MAX_PATH] = {};
    char current[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, MAX_PATH);
    ::GetWindowsDirectoryA(windows, MAX_PATH);
    ::GetCurrentDirectoryA(MAX_PATH, current);
    std::vector<SearchFolder> folders = {{folder_of(full_path(plugin_path)), false, false},
                                         {system, true, false},
                                         {path_join(windows, "System"), true, false},
                                         {windows, true, false},
                                         {current, false, true}};
    std::vector<char> path(32768);
    const DWORD n = ::GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
    std::istringstream entries(std::string(path.data(), n < path.size() ? n : 0));
    for (std::string entry; std::getline(entries, entry, ';');) {
        const bool known = std::any_of(folders.begin(), folders.end(), [&](const SearchFolder& f) {
            return ::lstrcmpiA(f.path.c_str(), entry.c_str()) == 0;
        });
        if (!entry.empty() && !known) folders.push_back({entry, false, true});
    }
    return folders;
}

DependencyWalk walk_dependencies(const std::string& shown, const PeImage& image,
                                 const std::vector<SearchFolder>& folders) {
    DependencyFiles files;
    files.folders = folders;
    files.loaded = [](const std::string& name) {
        return ::GetModuleHandleA(name.c_str()) != nullptr;
    };
    files.read = [](const std::string& p) { return read_file(p); };
    return dependency_walk(shown, image, files);
}

std::string file_name(const std::string& path) {
    return path.substr(path.find_last_of("\\/") + 1);
}

bool check_file(const std::string& path, const std::string& shown, PeImage& image, CheckReport& r) {
    const auto bytes = read_file(path);
    if (!bytes) {
        report(r, Severity::Error,
               "cannot read " + shown +
                   ": there is no such file, or it cannot be opened; "
                   "give the path of the built DLL");
        return false;
    }
    PeRead read = pe_read(*bytes);
    if (!read.ok) {
        report(r, Severity::Error,
               shown + " is not a Windows DLL: " + read.error +
                   "; build the plug-in as a shared library (a .dll)");
        return false;
    }
    if (!read.image.is_dll) {
        report(r, Severity::Error,
               shown +
                   " is a Windows program, not a DLL; build the plug-in as a "
                   "shared library (add_library(NAME SHARED ...), or -shared)");
        return false;
    }
    if (read.image.machine != kPeMachineX64) {
        report(r, Severity::Error,
               shown + " is built for " + pe_machine_name(read.image.machine) +
                   "; the host is 64-bit and loads only 64-bit x86 (x64) DLLs: "
                   "build with the 64-bit compiler (x86_64-w64-mingw32, or "
                   "Visual C++'s x64 tools)");
        return false;
    }
    image = std::move(read.image);
    return true;
}

// What to look at when the walk found every DLL where the loader looks.
std::string load_advice(DWORD code) {
    switch (code) {
        case ERROR_MOD_NOT_FOUND:
            return "every DLL it imports is where the loader looks, so a DLL that one of them "
                   "loads itself, or a delay-loaded one, is missing";
        case ERROR_PROC_NOT_FOUND:
            return "a DLL it imports lacks a function it needs: another version of that DLL is "
                   "found first";
        default: return "its own start-up (DllMain, static constructors) may have failed";
    }
}

void explain_load_failure(const std::string& path, const std::string& shown, const PeImage& image,
                          DWORD code, CheckReport& r) {
    const std::vector<SearchFolder> folders = loader_folders(path);
    const DependencyWalk walk = walk_dependencies(file_name(shown), image, folders);
    for (const DependencyProblem& problem : walk.problems) {
        report(r, Severity::Error, dependency_problem_line(problem, folders));
    }
    if (walk.problems.empty()) {
        report(r, Severity::Error,
               "the loader refused " + shown + " (" + system_message(code, shown) + "); " +
                   load_advice(code));
    }
}

void warn_chance_dependencies(const std::string& path, const std::string& shown,
                              const PeImage& image, CheckReport& r) {
    const std::vector<SearchFolder> folders = loader_folders(path);
    for (const std::string& found :
         walk_dependencies(file_name(shown), image, folders).found_by_chance) {
        report(r, Severity::Warning,
               file_name(found) + " is found only through PATH or the current folder (" + found +
                   "); a user's machine may lack it: put it beside " + file_name(shown) +
                   ", or link it in statically (-static)");
    }
}

bool check_exports(PluginBinding& p, const PeImage& image, CheckReport& r) {
    std::string missing;
    if (plugin_find_exports(p, missing)) return true;
    const char* expected[] = {kExportGetInterfaceVersion, kExportInit, kExportUpdate,
                              kExportShutdown};
    for (const char* name : expected) {
        if (::GetProcAddress(p.module, name) != nullptr) continue;
        const ExportNearMiss miss = export_near_miss(name, image.exports);
        std::string line = "the export " + std::string(name) + " is missing";
        if (miss.kind != NearMissKind::None) line += "; the DLL exports " + miss.name + " instead";
        report(r, Severity::Error, line + ": " + near_miss_advice(miss.kind));
    }
    return false;
}

void forget(PluginBinding& p) {
    p = PluginBinding{};  // a broken plug-in stays loaded: unloading runs its code once more
}

// Waits a while for what Shutdown started to end: a joined thread may take a moment to leave
// the system's lists.
template <typename T>
std::vector<T> left_after(const std::vector<T>& before, std::vector<T> (*census)()) {
    std::vector<T> left;
    const ULONGLONG until = ::GetTickCount64() + kLeftoverWaitMs;
    do {
        left.clear();
        const std::vector<T> now = census();
        std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                            std::back_inserter(left));
        if (left.empty()) break;
        ::Sleep(10);
    } while (::GetTickCount64() < until);
    return left;
}

struct Session {
    PluginBinding& plugin;
    CheckReport& r;
    Scenario scenario = scenario_start(ScenarioKind::Stress);
    StreamFrame frame{};
    std::uint64_t refused = 0;
    bool broken = false;  // an export let something escape: call and unload no more

    bool init(const char* when) {
        bool started = false;
        const GuardedCall call = guarded_call([&] { started = plugin.init(nullptr); });
        if (!call.returned) {
            report_escape(r, kExportInit, call, when);
            broken = true;
            return false;
        }
        if (!started) {
            report(r, Severity::Error,
                   std::string("Init returned false") + when +
                       ": the host unloads a plug-in whose Init fails; return "
                       "true once it is ready, and tell the user why when not");
        }
        return started;
    }

    // One frame; its time in milliseconds, or nothing when Update did not return.
    std::optional<double> update(std::uint64_t number) {
        scenario_frame(scenario, kFrameStep, frame);
        double ms = 0.0;
        bool handled = false;
        const GuardedCall call = guarded_call([&] {
            const auto start = Clock::now();
            handled = plugin_update(plugin, kFrameStep, frame.bytes.data(),
                                    static_cast<std::uint32_t>(frame.bytes.size()), frame.count)
                          .returned;
            ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        });
        if (!call.returned) {
            report_escape(r, kExportUpdate, call, " in frame " + std::to_string(number + 1));
            broken = true;
            return std::nullopt;
        }
        refused += handled ? 0 : 1;
        return ms;
    }

    bool shutdown() {
        const GuardedCall call = guarded_call([&] { plugin.shutdown(); });
        if (!call.returned) {
            report_escape(r, kExportShutdown, call, "");
            broken = true;
        }
        return call.returned;
    }
};

void report_times(const UpdateTimes& t, CheckReport& r) {
    const std::string figures = update_times_line(t, scenario_name(ScenarioKind::Stress));
    switch (timing_verdict(t)) {
        case TimingVerdict::TooSlow:
            report(r, Severity::Error,
                   figures +
                       ": the typical Update is longer than a 60 Hz frame "
                       "(16.7 ms), so the host misses most frames; move "
                       "slow work to a thread of your own");
            return;
        case TimingVerdict::Fits60HzOnly:
            report(r, Severity::Warning,
                   figures +
                       ": the typical Update fits a 60 Hz frame (16.7 ms) "
                       "but not a 120 Hz one (8.3 ms); a fast host would "
                       "miss frames");
            return;
        case TimingVerdict::Stutters:
            report(r, Severity::Warning,
                   figures +
                       ": the slowest frames are longer than a 120 Hz "
                       "frame (8.3 ms); the host stutters when they come "
                       "(or this machine was busy: check again)");
            return;
        case TimingVerdict::Fits120Hz:
            report(r, Severity::Passed, figures + ", within 8.3 ms (120 Hz) and 16.7 ms (60 Hz)");
            return;
    }
}

bool timed_frames(Session& s, std::uint64_t frames) {
    std::vector<double> times;
    times.reserve(frames);
    for (std::uint64_t i = 0; i < frames; ++i) {
        const std::optional<double> ms = s.update(i);
        if (!ms) return false;
        times.push_back(*ms);
    }
    report_times(update_times(times), s.r);
    if (s.refused > 0) {
        report(s.r, Severity::Warning,
               "Update returned false for " + std::to_string(s.refused) + " of " +
                   std::to_string(frames) + " frames; return true for a frame it handled");
    }
    return true;
}

void check_leftovers(const std::vector<DWORD>& threads, const std::vector<HWND>& windows,
                     CheckReport& r) {
    const std::vector<DWORD> threads_left = left_after(threads, process_thread_ids);
    const std::vector<HWND> windows_left = left_after(windows, census_windows);
    for (HWND w : windows_left) {
        report(r, Severity::Error,
               "Shutdown left a window open (" + window_description(w) +
                   "); destroy every window before Shutdown returns, on the "
                   "thread that created it");
    }
    if (!threads_left.empty()) {
        std::string ids;
        for (DWORD id : threads_left) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
        report(r, Severity::Error,
               "Shutdown left " + std::to_string(threads_left.size()) +
                   (threads_left.size() == 1 ? " thread" : " threads") + " running (id " + ids +
                   "); end and join every thread before Shutdown returns, or "
                   "the host unloads code that still runs");
    }
    if (threads_left.empty() && windows_left.empty()) {
        report(r, Severity::Passed, "Shutdown left no thread and no window behind");
    }
}

// A figure that was not measured warns: the check cannot say it does not grow.
void report_unmeasured(const Growth& g, const char* figure, bool listed, int cycles,
                       CheckReport& r) {
    if (g.measured) return;
    const std::string why = !listed ? "the system gives no count of them"
                                    : std::to_string(cycles) +
                                          " Init/Shutdown cycles are too few to judge (" +
                                          std::to_string(kWarmUpCycles + 2) + " at least)";
    report(r, Severity::Warning,
           std::string(figure) + " not measured: " + why + "; whether they grow is not known");
}

void report_growth(const std::vector<double>& handles, const std::vector<double>& heap, int cycles,
                   CheckReport& r) {
    const Growth h = cycle_growth(handles, kHandleGrowthLimit);
    const Growth m = cycle_growth(heap, kHeapGrowthLimit);
    report_unmeasured(h, "handles", !handles.empty(), cycles, r);
    report_unmeasured(m, "memory in use", !heap.empty(), cycles, r);
    char figures[160];
    std::snprintf(figures, sizeof figures,
                  "over %d Init/Shutdown cycles, handles %+.1f and memory in use %+.1f KiB a cycle",
                  cycles, h.per_cycle, m.per_cycle / 1024.0);
    if (h.grows) {
        report(r, Severity::Error,
               std::string(figures) +
                   ": handles grow; close in Shutdown what Init and "
                   "Update open (threads, events, sockets, files)");
    }
    if (m.grows) {
        report(r, Severity::Error,
               std::string(figures) +
                   ": memory grows; free in Shutdown what Init "
                   "and Update allocate");
    }
    if (h.measured && m.measured && !h.grows && !m.grows) {
        report(r, Severity::Passed, std::string(figures) + ": nothing grows");
    }
}

bool cycle(Session& s, int cycles) {
    std::vector<double> handles;
    std::vector<double> heap;
    for (int c = 1; c <= cycles; ++c) {
        const std::string when = " in cycle " + std::to_string(c) + " of " + std::to_string(cycles);
        if (!s.init(when.c_str())) return false;
        for (int i = 0; i < kUpdatesPerCycle; ++i) {
            if (!s.update(static_cast<std::uint64_t>(i))) return false;
        }
        if (!s.shutdown()) return false;
        handles.push_back(static_cast<double>(process_handle_count()));
        heap.push_back(static_cast<double>(process_heap_bytes_in_use()));
    }
    if (std::ranges::any_of(handles, [](double n) { return n < 0; })) {
        handles.clear();  // the system did not list the handles every time
    }
    report_growth(handles, heap, cycles, s.r);
    return true;
}

void unload(PluginBinding& p, const std::string& path, const std::string& shown, CheckReport& r) {
    plugin_unbind(p);
    if (::GetModuleHandleA(full_path(path).c_str()) != nullptr) {
        report(r, Severity::Warning,
               shown +
                   " stayed loaded after the host freed it (a thread of it still "
                   "runs, or it holds a reference to itself); a host cannot "
                   "replace it while it runs");
    }
}

}  // namespace

void report_escape(CheckReport& r, const char* export_name, const GuardedCall& call,
                   const std::string& when) {
    report(r, Severity::Error,
           std::string(export_name) + " let " + call.what + " escape" + when +
               ", which would crash the host; catch everything inside "
               "every export (try { ... } catch (...) { ... }), and find the fault");
}

bool plugin_load_checked(const std::string& path, const std::string& shown, PluginBinding& p,
                         CheckReport& r) {
    p = PluginBinding{};
    PeImage image;
    if (!check_file(path, shown, image, r)) return false;
    DWORD code = 0;
    p.module = plugin_load_library(path, code);
    if (p.module == nullptr) {
        explain_load_failure(path, shown, image, code, r);
        return false;
    }
    warn_chance_dependencies(path, shown, image, r);
    if (!check_exports(p, image, r)) {
        plugin_unbind(p);
        return false;
    }
    std::int32_t version = 0;
    const GuardedCall call = guarded_call([&] { version = p.get_interface_version(); });
    if (!call.returned) {
        report_escape(r, kExportGetInterfaceVersion, call, "");
        forget(p);
        return false;
    }
    if (version != kPluginInterfaceVersion) {
        report(r, Severity::Error,
               std::string(kExportGetInterfaceVersion) + " returns " + std::to_string(version) +
                   "; this host drives interface version " +
                   std::to_string(kPluginInterfaceVersion) + ": return " +
                   std::to_string(kPluginInterfaceVersion) + " and build against that interface");
        plugin_unbind(p);
        return false;
    }
    report(r, Severity::Passed,
           shown + " loads: a 64-bit DLL with the four exports, interface version " +
               std::to_string(version));
    return true;
}

int plugin_check(const std::string& path, const CheckPlan& plan, CheckReport& r) {
    PluginBinding plugin;
    if (!plugin_load_checked(path, path, plugin, r)) return 1;
    Session s{plugin, r};
    const std::vector<DWORD> threads = process_thread_ids();
    const std::vector<HWND> windows = census_windows();
    const bool went_through = s.init("") && timed_frames(s, plan.frames) && s.shutdown();
    if (went_through) {
        check_leftovers(threads, windows, r);
        if (plan.cycles > 0) cycle(s, plan.cycles);
    }
    if (s.broken) {
        forget(plugin);
    } else {
        unload(plugin, path, path, r);
    }
    return r.errors == 0 ? 0 : 1;
}
