// The reload decision of `--watch`.
#include "tools/tessel_host/reload_watch.h"

#include <charconv>

ReloadWatch watch_start(const FileStamp& loaded) {
    ReloadWatch w;
    w.tried = loaded;
    return w;
}

bool watch_observe(ReloadWatch& w, const FileStamp& seen, std::chrono::nanoseconds now) {
    if (!seen.exists || seen == w.tried) {
        w.waiting = false;  // being rewritten, or back to what was tried
        return false;
    }
    if (!w.waiting || seen != w.pending) {
        w.waiting = true;
        w.pending = seen;
        w.pending_since = now;
        return false;
    }
    return now - w.pending_since >= kSteadyBeforeReload;
}

void watch_tried(ReloadWatch& w, const FileStamp& copied) {
    w.tried = copied;
    w.waiting = false;
}

std::optional<std::uint32_t> shadow_copy_process(std::string_view name_end) {
    constexpr std::string_view kExtension = ".dll";
    if (!name_end.ends_with(kExtension)) return std::nullopt;
    name_end.remove_suffix(kExtension.size());
    const std::size_t dash = name_end.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const auto number = [](std::string_view text, auto& value) {
        const char* end = text.data() + text.size();
        const auto [at, error] = std::from_chars(text.data(), end, value);
        return !text.empty() && error == std::errc{} && at == end;
    };
    std::uint32_t pid = 0;
    std::uint64_t generation = 0;
    if (!number(name_end.substr(0, dash), pid) || !number(name_end.substr(dash + 1), generation))
        return std::nullopt;
    return pid;
}
