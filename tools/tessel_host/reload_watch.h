// When `--watch` reloads the plug-in: the original DLL changed since the copy that was loaded,
// and its size and time have stayed the same for a while, so the build has finished writing it.
// Fed what the file looks like now and then; the shell copies and loads.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

inline constexpr std::chrono::milliseconds kSteadyBeforeReload{100};

struct FileStamp {
    bool exists = false;
    std::uint64_t size = 0;
    std::uint64_t write_time = 0;
    bool operator==(const FileStamp&) const = default;
};

struct ReloadWatch {
    FileStamp tried;    // the version last loaded or refused; not tried again
    FileStamp pending;  // a new version, waiting to hold still
    std::chrono::nanoseconds pending_since{0};
    bool waiting = false;
};

ReloadWatch watch_start(const FileStamp& loaded);

// True when the file is a new version that has held still long enough: the caller copies and
// loads it, then calls watch_tried with the stamp the file had when it was copied.
bool watch_observe(ReloadWatch& watch, const FileStamp& now_seen, std::chrono::nanoseconds now);

void watch_tried(ReloadWatch& watch, const FileStamp& copied);

// The process that made a shadow copy NAME.shadow-PID-N.dll, read from the name's end after
// ".shadow-" ("PID-N.dll"); nothing for a name that no copy has.
std::optional<std::uint32_t> shadow_copy_process(std::string_view name_end);
