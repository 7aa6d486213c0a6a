// The playback's state and its controls.
#include "tools/g1/sinks/serve/serve_playback.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

// A number's text, whole: no sign before it but '-', nothing after.
template <class Number>
std::optional<Number> number_of(std::string_view text) {
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// One control, applied to `p`; false, with `error`, if it is not one.
bool apply(Playback& p, std::string_view key, std::optional<std::string_view> value,
           std::int64_t now_ns, std::string& error) {
    playback_advance(p, now_ns);
    if (key == "play" && !value) {
        if (playback_ended(p)) {
            p.from_ns = 0;
            ++p.jumps;
        }
        p.paused = false;
        return true;
    }
    if (key == "pause" && !value) {
        p.paused = true;
        return true;
    }
    if (key == "seek" && value) {
        const std::optional<std::int64_t> ms = number_of<std::int64_t>(*value);
        if (!ms) {
            error = "seek takes milliseconds from the start";
            return false;
        }
        const std::int64_t to = std::clamp<std::int64_t>(*ms, 0, p.length_ns / kNsPerMs) * kNsPerMs;
        p.from_ns = std::min(to, p.length_ns);
        ++p.jumps;
        return true;
    }
    if (key == "speed" && value) {
        const std::optional<double> speed = number_of<double>(*value);
        if (!speed || !(*speed >= kPlaybackSlowest && *speed <= kPlaybackFastest)) {
            error = "speed takes 0.25 to 16";
            return false;
        }
        p.speed = *speed;
        return true;
    }
    if (key == "loop" && (value == "0" || value == "1")) {
        p.loop = *value == "1";
        return true;
    }
    error = "no such control (play, pause, seek=MS, speed=X, loop=0|1)";
    return false;
}

}  // namespace

Playback playback_start(std::int64_t length_ns, double speed, bool loop, std::int64_t now_ns) {
    Playback p;
    p.length_ns = std::max<std::int64_t>(length_ns, 0);
    p.since_ns = now_ns;
    p.speed = std::clamp(speed, kPlaybackSlowest, kPlaybackFastest);
    p.loop = loop;
    return p;
}

std::int64_t playback_advance(Playback& p, std::int64_t now_ns) {
    if (!p.paused && now_ns > p.since_ns) {
        const double moved = static_cast<double>(now_ns - p.since_ns) * p.speed;
        const double at = static_cast<double>(p.from_ns) + moved;
        if (at <= static_cast<double>(p.length_ns)) {
            p.from_ns = static_cast<std::int64_t>(at);
        } else if (p.loop) {
            p.from_ns = 0;  // the next pass starts from the beginning, not part-way into it
            ++p.jumps;
        } else {
            p.from_ns = p.length_ns;
            p.paused = true;
        }
    }
    p.since_ns = std::max(p.since_ns, now_ns);
    return p.from_ns;
}

bool playback_ended(const Playback& p) {
    return p.paused && p.from_ns >= p.length_ns;
}

bool playback_control(Playback& p, std::string_view query, std::int64_t now_ns,
                      std::string& error) {
    Playback changed = p;
    while (!query.empty()) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view control = query.substr(0, end);
        const std::size_t equals = control.find('=');
        const std::optional<std::string_view> value =
            equals == std::string_view::npos ? std::nullopt
                                             : std::optional(control.substr(equals + 1));
        if (!control.empty() && !apply(changed, control.substr(0, equals), value, now_ns, error)) {
            return false;
        }
        query.remove_prefix(std::min(end + 1, query.size()));
    }
    p = changed;
    return true;
}

std::string playback_json(Playback& p, std::int64_t now_ns, std::string_view about) {
    const std::int64_t at = playback_advance(p, now_ns);
    char text[200];
    std::snprintf(text, sizeof text,
                  "{\"position_ms\":%lld,\"length_ms\":%lld,\"paused\":%s,\"ended\":%s,"
                  "\"speed\":%g,\"loop\":%s",
                  static_cast<long long>(at / kNsPerMs),
                  static_cast<long long>(p.length_ns / kNsPerMs), p.paused ? "true" : "false",
                  playback_ended(p) ? "true" : "false", p.speed, p.loop ? "true" : "false");
    std::string json = text;
    if (!about.empty()) {
        json += ',';
        json += about;
    }
    return json + '}';
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}
