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

// Keeps the sample of a record, if it still holds well-formed G1 (else the file changed since).
void keep_sample(ServeReplay& r, const MomentRecord& m) {
    const G1Parsed parsed = g1_parse(r.datagram.payload);
    if (parsed.error != G1ParseError::None) return;
    const ReplayTrack& track = r.index.tracks[m.track];
    r.moment[m.track][m.k] = {track.entries[r.chosen[m.track][m.k]].time_us, parsed.fields};
    r.read[m.track][m.k] = true;
}

// Reads the records of `wanted`, sorted by offset: those near each other (the minute before a
// moment, every sender's) in one read each, which costs a fraction of a jump in the file for
// every record; one that does not fit in its run is read alone.
bool read_records(ServeReplay& r, std::string& error) {
    std::vector<MomentRecord>& wanted = r.wanted;
    std::ranges::sort(wanted, {}, &MomentRecord::offset);
    for (std::size_t i = 0; i < wanted.size();) {
        std::size_t j = i;
        while (j + 1 < wanted.size() && wanted[j + 1].offset - wanted[j].offset <= kReplayRunGap) {
            ++j;
        }
        const std::uint64_t begin = wanted[i].offset;
        r.run.resize(static_cast<std::size_t>(wanted[j].offset - begin) + kReplayRunTail);
        r.file.clear();
        r.file.seekg(static_cast<std::streamoff>(begin));
        r.file.read(reinterpret_cast<char*>(r.run.data()),
                    static_cast<std::streamsize>(r.run.size()));
        const auto got = static_cast<std::size_t>(r.file.gcount());
        for (; i <= j; ++i) {
            const MomentRecord& m = wanted[i];
            const std::size_t at = static_cast<std::size_t>(m.offset - begin);
            const std::span<const std::uint8_t> rest =
                at < got ? std::span<const std::uint8_t>(r.run).subspan(at, got - at)
                         : std::span<const std::uint8_t>();
            const PcapRead read = pcap_parse_record(r.index.format, rest, r.datagram);
            if (read == PcapRead::Truncated) {
                if (!read_entry(r, r.index.tracks[m.track].entries[r.chosen[m.track][m.k]],
                                error)) {
                    return false;
                }
            } else if (read != PcapRead::Datagram) {
                error = "the recording has changed since it was opened (byte " +
                        std::to_string(m.offset) + ")";
                return false;
            }
            keep_sample(r, m);
        }
    }
    return true;
}

// Every track at the playback's moment: the minute before it, read from the file, and from
// there on the entries after it.
bool show_moment(ServeReplay& r, std::int64_t at_ns, std::int64_t now_ns,
                 const ServeReplayOutput& out, std::string& error) {
    if (out.jumped) out.jumped();
    const std::size_t tracks = r.index.tracks.size();
    r.chosen.resize(tracks);
    r.moment.resize(tracks);
    r.read.resize(tracks);
    r.wanted.clear();
    for (std::size_t t = 0; t < tracks; ++t) {
        const ReplayTrack& track = r.index.tracks[t];
        const std::size_t last = replay_track_find(track, at_ns);
        r.next[t] = last == track.entries.size() ? 0 : last + 1;
        replay_track_samples(track, last, kHistoryStepUs, kHistorySpanUs, r.chosen[t]);
        r.moment[t].resize(r.chosen[t].size());
        r.read[t].assign(r.chosen[t].size(), false);
        for (std::size_t k = 0; k < r.chosen[t].size(); ++k) {
            r.wanted.push_back({track.entries[r.chosen[t][k]].offset, t, k});
        }
    }
    if (!read_records(r, error)) return false;
    for (std::size_t t = 0; t < tracks; ++t) {
        // The newest sample is the moment's own datagram: its sender's latest by then.
        SenderHistory& history = *r.history;
        history.first = 0;
        history.count = 0;
        for (std::size_t k = 0; k < r.moment[t].size(); ++k) {
            if (r.read[t][k]) history_note(history, r.moment[t][k]);
        }
        const bool has_latest = !r.read[t].empty() && r.read[t].back();
        if (out.moment) {
            out.moment(r.index.tracks[t].ip, history, has_latest ? &r.moment[t].back() : nullptr,
                       now_ns);
        }
    }
    return true;
}

}  // namespace

bool serve_replay_open(ServeReplay& r, const std::string& path, std::optional<std::uint32_t> sender,
                       const SenderFilter& from, double speed, bool loop, std::int64_t now_ns,
                       std::string& error, const std::function<bool()>& stop) {
    std::ifstream whole(path, std::ios::binary);
    r.file.rdbuf()->pubsetbuf(r.buffer.data(), static_cast<std::streamsize>(r.buffer.size()));
    r.file.open(path, std::ios::binary);
    if (!whole || !r.file) {
        error = "cannot open " + path;
        return false;
    }
    if (!replay_index_build(whole, r.index, error, stop)) {
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
    // The opening is no jump: from the start, every datagram goes as received, the first too,
    // so a recording played through counts all of its datagrams.
    bool far = r.playback.jumps != r.jumps_shown;
    for (std::size_t t = 0; t < r.index.tracks.size() && !far; ++t) {
        const std::vector<ReplayIndexEntry>& e = r.index.tracks[t].entries;
        const std::size_t due = replay_track_find(r.index.tracks[t], at_ns);
        far = due != e.size() && due >= r.next[t] && due - r.next[t] >= kReplayMostPerTick;
    }
    if (far) {
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
