// Indexing a capture's G1 datagrams by time and reading them back one record at a time.
#include "tools/g1/sources/replay_index.h"

#include "plugin/telemetry/g1_datagram.h"
#include "plugin/telemetry/g1_parse.h"
#include "tools/g1/sources/replay.h"
#include "tools/g1/sources/replay_sorting.h"

#include <algorithm>
#include <istream>
#include <unordered_map>

namespace {

// A G1 datagram of the file, before its place on the timeline and its sender's track.
struct Indexed {
    std::uint64_t offset = 0;
    std::int64_t time_ns = 0;
    std::uint32_t ip = 0;
    bool well_formed = false;
    std::int32_t time_field = 0;
};

Indexed indexed(std::uint64_t offset, const PcapDatagram& d) {
    const G1Parsed parsed = g1_parse(d.payload);
    const bool well_formed = parsed.error == G1ParseError::None;
    return {offset, d.time_ns, d.from.ip, well_formed, well_formed ? parsed.fields[0] : 0};
}

}  // namespace

bool replay_index_build(std::istream& in, ReplayIndex& index, std::string& error,
                        const std::function<bool()>& stop) {
    index = ReplayIndex{};
    ReplaySorted sorted;
    std::vector<Indexed> g1;
    if (!replay_sort(in, sorted, g1, indexed, error, stop)) return false;
    index.format = std::move(sorted.format);
    index.other = sorted.other;
    index.unheld = sorted.unheld;
    index.truncated = std::move(sorted.truncated);
    std::unordered_map<std::uint32_t, std::size_t> track_of;  // address: place in `tracks`
    std::unordered_map<std::uint32_t, G1TimeUnwrap> unwraps;
    std::int64_t at_ns = 0;
    for (std::size_t i = 0; i < g1.size(); ++i) {
        const Indexed& r = g1[i];
        if (i == 0) {
            index.start_ns = r.time_ns;
        } else {
            at_ns = replay_timeline_next(at_ns, r.time_ns - g1[i - 1].time_ns);
        }
        const auto [place, added] = track_of.try_emplace(r.ip, index.tracks.size());
        if (added) index.tracks.push_back({r.ip, {}});
        ReplayTrack& track = index.tracks[place->second];
        // A malformed datagram has no time of its own: it keeps the one before.
        const std::int64_t time_us = r.well_formed ? g1_unwrap_time(unwraps[r.ip], r.time_field)
                                     : track.entries.empty() ? 0
                                                             : track.entries.back().time_us;
        track.entries.push_back({r.offset, at_ns, time_us, r.well_formed});
    }
    index.length_ns = at_ns;
    if (index.tracks.empty()) {
        error = "it holds no G1 datagram (" + std::to_string(index.other) + " other packets)";
        return false;
    }
    return true;
}

std::size_t replay_track_find(const ReplayTrack& track, std::int64_t at_ns) {
    const auto after =
        std::upper_bound(track.entries.begin(), track.entries.end(), at_ns,
                         [](std::int64_t at, const ReplayIndexEntry& e) { return at < e.at_ns; });
    return after == track.entries.begin()
               ? track.entries.size()
               : static_cast<std::size_t>(after - track.entries.begin()) - 1;
}

bool replay_index_read(std::istream& in, const ReplayIndex& index, const ReplayIndexEntry& entry,
                       PcapDatagram& datagram, std::string& error) {
    PcapReader reader = index.format;
    reader.in = &in;
    reader.offset = entry.offset;
    in.clear();
    in.seekg(static_cast<std::streamoff>(entry.offset));
    if (!in) {
        error = "the recording cannot be read at byte " + std::to_string(entry.offset);
        return false;
    }
    if (pcap_read_next(reader, datagram, error) != PcapRead::Datagram) {
        error = "the recording has changed since it was opened (byte " +
                std::to_string(entry.offset) + ")";
        return false;
    }
    return true;
}

void replay_track_samples(const ReplayTrack& track, std::size_t last, std::int64_t step_us,
                          std::int64_t span_us, std::vector<std::size_t>& out) {
    out.clear();
    const std::vector<ReplayIndexEntry>& e = track.entries;
    if (last >= e.size()) return;
    // Back from `last`, so the moment itself is the newest sample, over the span and up to a
    // time that goes back (an earlier flight).
    const std::int64_t newest = e[last].time_us;
    std::int64_t later = newest;
    for (std::size_t j = last + 1; j-- > 0;) {
        if (!e[j].well_formed) continue;
        if (e[j].time_us > later || newest - e[j].time_us >= span_us) break;
        later = e[j].time_us;
        if (out.empty() || e[out.back()].time_us - e[j].time_us >= step_us) out.push_back(j);
    }
    std::reverse(out.begin(), out.end());
}
