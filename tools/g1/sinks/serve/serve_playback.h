// Where the replay of a recording on the page stands: its moment on the recording's timeline,
// its speed, paused or playing, looping or not, and the controls the page sends to change them
// (play, pause, seek, speed, loop). No clock and no file here: the caller passes the time in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr double kPlaybackSlowest = 0.25;
inline constexpr double kPlaybackFastest = 16.0;
inline constexpr std::string_view kPlaybackEvent = "playback";

struct Playback {
    std::int64_t length_ns = 0;  // the timeline's last moment
    std::int64_t from_ns = 0;    // the moment it stood at when `since_ns` was (steady clock)
    std::int64_t since_ns = 0;
    double speed = 1.0;
    bool paused = false;
    bool loop = false;
    std::uint64_t jumps = 0;  // seeks and restarts: each needs the moment rebuilt
};

// Starts at the timeline's beginning, playing, at `now_ns`.
Playback playback_start(std::int64_t length_ns, double speed, bool loop, std::int64_t now_ns);

// Its moment at `now_ns`: past the end, a loop starts over (a jump) and otherwise it stops there,
// paused. Brings `from_ns` and `since_ns` up to date.
std::int64_t playback_advance(Playback& playback, std::int64_t now_ns);

// At its end, stopped there.
bool playback_ended(const Playback& playback);

// Applies the controls of a query: `play`, `pause`, `seek=MS` (from the start, clamped to the
// timeline), `speed=X` (kPlaybackSlowest to kPlaybackFastest), `loop=0|1`, joined by '&'.
// Playing at the end starts over. False, with `error`, for a control it does not know or a value
// out of range; then nothing has changed.
bool playback_control(Playback& playback, std::string_view query, std::int64_t now_ns,
                      std::string& error);

// {"position_ms","length_ms","paused","ended","speed","loop"} and `about` (more members, as JSON
// text without braces) at `now_ns`.
std::string playback_json(Playback& playback, std::int64_t now_ns, std::string_view about);

// `text` as a JSON string, quotes included.
std::string json_string(std::string_view text);
