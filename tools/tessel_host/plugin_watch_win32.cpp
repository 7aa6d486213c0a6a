// The reloads of `--watch`, between two frames on the host's thread, as a host would do them.
#include "tools/tessel_host/plugin_watch_win32.h"

#include "tools/tessel_host/export_guard_win32.h"
#include "tools/tessel_host/plugin_check_win32.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLookEvery = std::chrono::milliseconds(20);

FileStamp stamp(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return {};
    return {true, (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
            (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                data.ftLastWriteTime.dwLowDateTime};
}

// NAME.dll's copies are NAME.shadow-PID-N.dll in its folder: the plug-in's own DLLs are still
// found beside it, and each copy has a name no earlier one had, so a copy that could not be
// unloaded is never in the way.
std::string shadow_name(const PluginWatch& w) {
    std::string stem = w.original;
    const std::size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && stem.find_first_of("\\/", dot) == std::string::npos)
        stem.resize(dot);
    return stem + ".shadow-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(w.generation) + ".dll";
}

std::string when(const PluginWatch& w) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f s, frame %llu",
                  std::chrono::duration<double>(Clock::now() - w.start).count(),
                  static_cast<unsigned long long>(w.frames));
    return text;
}

CheckReport findings(PluginWatch& w) {
    CheckReport r;
    r.write = [&w](Severity severity, const std::string& line) {
        if (severity != Severity::Passed) w.say(line);
    };
    return r;
}

// The running copy: Shutdown, unload, its file removed. What became of it, for the reload line.
std::string retire(PluginWatch& w) {
    if (w.plugin.module == nullptr) return "no plug-in was running";
    if (w.live) {
        CheckReport r = findings(w);
        const GuardedCall call = guarded_call([&] { w.plugin.shutdown(); });
        w.live = false;
        if (!call.returned) {
            report_escape(r, kExportShutdown, call, "");
            w.plugin = PluginBinding{};
            return "the old one crashed in Shutdown and stays loaded";
        }
    }
    plugin_unbind(w.plugin);
    const bool unloaded = ::GetModuleHandleA(w.shadow.c_str()) == nullptr;
    if (unloaded) ::DeleteFileA(w.shadow.c_str());
    w.shadow.clear();
    return unloaded ? "the old one had Shutdown and was unloaded"
                    : "the old one had Shutdown but stayed loaded (a thread of it still runs?)";
}

bool start(PluginWatch& w, const std::string& copy) {
    CheckReport r = findings(w);
    if (!plugin_load_checked(copy, w.shown, w.plugin, r)) {
        if (w.plugin.module == nullptr) ::DeleteFileA(copy.c_str());
        w.plugin = PluginBinding{};
        return false;
    }
    w.shadow = copy;
    bool started = false;
    const GuardedCall call = guarded_call([&] { started = w.plugin.init(nullptr); });
    if (!call.returned) {
        report_escape(r, kExportInit, call, "");
        w.plugin = PluginBinding{};  // broken: stays loaded
        w.shadow.clear();
        return false;
    }
    if (!started) {
        report(r, Severity::Error, "Init returned false");
        plugin_unbind(w.plugin);
        ::DeleteFileA(copy.c_str());
        w.shadow.clear();
        return false;
    }
    w.live = true;
    return true;
}

void reload(PluginWatch& w) {
    const auto began = Clock::now();
    const FileStamp copied = stamp(w.original);
    ++w.generation;
    const std::string copy = shadow_name(w);
    if (!::CopyFileA(w.original.c_str(), copy.c_str(), FALSE)) {
        w.say("cannot copy " + w.shown + " (" + system_message(::GetLastError(), w.shown) +
              "); waiting for the next build");
        watch_tried(w.watch, copied);
        return;
    }
    if (!(stamp(w.original) == copied)) {  // written to while copied: wait for it to hold still
        ::DeleteFileA(copy.c_str());
        return;
    }
    watch_tried(w.watch, copied);
    const bool first = w.generation == 1;
    const std::string old = retire(w);
    const bool started = start(w, copy);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    if (started) {
        ++w.reloads;
        w.say(when(w) + ": " + (first ? "loaded " : "reloaded ") + w.shown + " in " +
              std::to_string(ms) + " ms" + (first ? "" : "; " + old));
    } else {
        ++w.refusals;
        w.say(when(w) + ": refused " + w.shown + " (the lines above say why); " +
              (first ? "" : old + "; ") + "flying on without a plug-in until the next build");
    }
}

// Whether process `pid` runs: one that is gone, or that this process may not look at, is told
// apart from one that was never there by the error.
bool process_runs(DWORD pid) {
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = 0;
    const bool runs = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return runs;
}

// Copies that earlier runs could not remove (a plug-in that crashed stays loaded to the end).
// Those of a process that still runs, another --watch of the same DLL, are its own and stay.
void remove_old_copies(const PluginWatch& w) {
    PluginWatch pattern;
    pattern.original = w.original;
    std::string glob = shadow_name(pattern);
    glob.resize(glob.find(".shadow-") + 8);
    const std::string folder = glob.substr(0, glob.find_last_of("\\/") + 1);
    const std::size_t name_start = glob.size() - folder.size();
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA((glob + "*.dll").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string_view name = found.cFileName;
        const std::optional<std::uint32_t> maker =
            name.size() > name_start ? shadow_copy_process(name.substr(name_start)) : std::nullopt;
        if (maker && (*maker == ::GetCurrentProcessId() || !process_runs(*maker))) {
            ::DeleteFileA((folder + found.cFileName).c_str());
        }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
}

}  // namespace

void watch_begin(PluginWatch& w, const std::string& path,
                 std::function<void(const std::string&)> say) {
    char full[MAX_PATH] = {};
    const DWORD n = ::GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    w.original = n > 0 && n < MAX_PATH ? std::string(full, n) : path;
    remove_old_copies(w);
    w.shown = path;
    w.say = std::move(say);
    w.start = Clock::now();
    w.last_look = w.start;
    w.say("watching " + w.shown + ": each new build is loaded once it is complete");
    w.watch = watch_start({});
    if (stamp(w.original).exists) reload(w);
}

bool watch_frame(PluginWatch& w, const StreamFrame& frame) {
    const auto now = Clock::now();
    if (now - w.last_look >= kLookEvery) {
        w.last_look = now;
        if (watch_observe(w.watch, stamp(w.original), now - w.start)) reload(w);
    }
    ++w.frames;
    if (!w.live) {
        ++w.frames_without;
        return true;
    }
    bool handled = false;
    const GuardedCall call = guarded_call([&] {
        handled = plugin_update(w.plugin, frame.dt, frame.bytes.data(),
                                static_cast<std::uint32_t>(frame.bytes.size()), frame.count)
                      .returned;
    });
    if (!call.returned) {
        CheckReport r = findings(w);
        report_escape(r, kExportUpdate, call, " in frame " + std::to_string(w.frames));
        w.say(when(w) + ": flying on without a plug-in until the next build");
        w.live = false;
        w.plugin = PluginBinding{};  // broken: stays loaded
        w.shadow.clear();
        return true;
    }
    return handled;
}

void watch_end(PluginWatch& w) {
    retire(w);
}

std::string watch_summary(const PluginWatch& w) {
    return std::to_string(w.reloads) + (w.reloads == 1 ? " build" : " builds") + " loaded, " +
           std::to_string(w.refusals) + " refused; " + std::to_string(w.frames_without) +
           " frames flown without a plug-in";
}
