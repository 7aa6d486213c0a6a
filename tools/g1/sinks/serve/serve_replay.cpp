// Playing a recording on the page: the index's entries handed on as they become due.
#include "tools/g1/sinks/serve/serve_replay.h"

#include "plugin/telemetry/g1_parse.h"
#include "tools/common/udp.h"

#include <algorithm>

namespace {

constexpr std::int64_t kNsPerMs = 1'000'000;

// The recording's facts for the page: its name (not where it lies), when it began, its senders.
std::string about_of(const ServeReplay& r, const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    std::string about = "\"file\":" + json_string(slash == std::string::npos
                                                      ? std::string_view(path)
                                                      : std::string_view(path).substr(slash + 1));
    about += ",\"start_ms\":" + std::to_string(r.index.start_ns / kNsPerMs);
    about += ",\"sender\":\"" + udp_ip_text(r.index.tracks.front().ip) + "\",\"senders\":[";
    for (const ReplayTrack& t : r.index.tracks) {
        about += about.back() == '[' ? "" : ",";
        about += "{\"sender\":\"" + udp_ip_text(t.ip) +
                 "\",\"datagrams\":" + std::to_string(t.entries.size()) + "}";
    }
    return about + "]";
}

bool read_entry(ServeReplay& r, const ReplayIndexEntry& e, std::string& error) {
    return replay_index_read(r.file, r.index, e, r.datagram, error);
}

// Every track at the playback's moment: the minute before it, read from the file, and from
// there on the entries after it.
bool show_moment(ServeReplay& r, std::int64_t at_ns, std::int64_t now_ns,
                 const ServeReplayOutput& out, std::string& error) {
    if (out.jumped) out.jumped();
    for (std::size_t t = 0; t < r.index.tracks.size(); ++t) {
        const ReplayTrack& track = r.index.tracks[t];
        const std::size_t last = replay_track_find(track, at_ns);
        r.next[t] = last == track.entries.size() ? 0 : last + 1;
        replay_track_samples(track, last, kHistoryStepUs, kHistorySpanUs, r.samples);
        SenderHistory& history = *r.history;
        history.first = 0;
        history.count = 0;
        for (const std::size_t i : r.samples) {
            if (!read_entry(r, track.entries[i], error)) return false;
            const G1Parsed parsed = g1_parse(r.datagram.payload);
            if (parsed.error == G1ParseError::None) {
                history_note(history, {track.entries[i].time_us, parsed.fields});
            }
        }
        // The moment's own values: its sender's latest well-formed datagram by then.
        std::size_t shown = last;
        while (shown < track.entries.size() && !track.entries[shown].well_formed) {
            shown = shown == 0 ? track.entries.size() : shown - 1;
        }
        SenderSample latest;
        bool has_latest = false;
        if (shown < track.entries.size()) {
            if (!read_entry(r, track.entries[shown], error)) return false;
            const G1Parsed parsed = g1_parse(r.datagram.payload);
            has_latest = parsed.error == G1ParseError::None;  // else changed since: not shown
            latest = {track.entries[shown].time_us, parsed.fields};
            if (has_latest) history_note(history, latest);
        }
        if (out.moment) out.moment(track.ip, history, has_latest ? &latest : nullptr, now_ns);
    }
    return true;
}

}  // namespace

bool serve_replay_open(ServeReplay& r, const std::string& path, std::optional<std::uint32_t> sender,
                       const SenderFilter& from, double speed, bool loop, std::int64_t now_ns,
                       std::string& error, const std::function<bool()>& stop) {
    r.file.open(path, std::ios::binary);
    if (!r.file) {
        error = "cannot open " + path;
        return false;
    }
    if (!replay_index_build(r.file, r.index, error, stop)) {
        error = path + ": " + error;
        return false;
    }
    std::vector<ReplayTrack>& tracks = r.index.tracks;
    std::erase_if(tracks, [&](const ReplayTrack& t) { return !sender_filter_takes(from, t.ip); });
    if (tracks.empty()) {
        error = path + ": --from takes none of its senders";
        return false;
    }
    if (sender) {
        const auto chosen = std::ranges::find(tracks, *sender, &ReplayTrack::ip);
        if (chosen == tracks.end()) {
            error = path + ": it holds no G1 from " + udp_ip_text(*sender) + "; its senders:";
            for (const ReplayTrack& t : tracks) error += ' ' + udp_ip_text(t.ip);
            return false;
        }
        std::rotate(tracks.begin(), chosen, chosen + 1);
    }
    r.next.assign(tracks.size(), 0);
    r.about = about_of(r, path);
    r.playback = playback_start(r.index.length_ns, speed, loop, now_ns);
    return true;
}

bool serve_replay_tick(ServeReplay& r, std::int64_t now_ns, const ServeReplayOutput& out,
                       std::string& error) {
    const std::int64_t at_ns = playback_advance(r.playback, now_ns);
    bool far = !r.started || r.playback.jumps != r.jumps_shown;
    for (std::size_t t = 0; t < r.index.tracks.size() && !far; ++t) {
        const std::vector<ReplayIndexEntry>& e = r.index.tracks[t].entries;
        const std::size_t due = replay_track_find(r.index.tracks[t], at_ns);
        far = due != e.size() && due >= r.next[t] && due - r.next[t] >= kReplayMostPerTick;
    }
    if (far) {
        r.started = true;
        r.jumps_shown = r.playback.jumps;
        return show_moment(r, at_ns, now_ns, out, error);
    }
    for (std::size_t t = 0; t < r.index.tracks.size(); ++t) {
        const ReplayTrack& track = r.index.tracks[t];
        for (; r.next[t] < track.entries.size() && track.entries[r.next[t]].at_ns <= at_ns;
             ++r.next[t]) {
            const ReplayIndexEntry& e = track.entries[r.next[t]];
            if (!read_entry(r, e, error)) return false;
            const UdpDatagram d{r.datagram.payload.size(), r.datagram.from, false};
            out.datagram(d, {r.datagram.payload.data(), r.datagram.payload.size()}, e.time_us,
                         now_ns);
        }
    }
    return true;
}

std::string serve_replay_event(ServeReplay& r, std::int64_t now_ns) {
    std::string event = "event: ";
    event += kPlaybackEvent;
    event += "\ndata: " + playback_json(r.playback, now_ns, r.about) + "\n\n";
    return event;
}
