// Indexing a capture's G1 datagrams by time and reading them back one record at a time.
#include "tools/g1/sources/replay_index.h"

#include "plugin/telemetry/g1_datagram.h"
#include "plugin/telemetry/g1_parse.h"
#include "tools/g1/sources/replay.h"

#include <algorithm>
#include <istream>
#include <string_view>
#include <unordered_map>

namespace {

constexpr std::uint64_t kRecordsBetweenStops = 4096;  // how often building asks whether to stop

// A UDP datagram of the file, before it is known whether its port carries G1.
struct Candidate {
    std::uint64_t offset = 0;
    std::int64_t time_ns = 0;
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    bool well_formed = false;
    std::int32_t time_field = 0;
};

// Which candidates are G1, as replay_load sorts them: the G1 port's, and those to a port that
// carries G1 in the file, of which only the first kReplayHeldPerPort before its first tagged
// datagram (what loading holds while it cannot know yet).
std::vector<bool> g1_of(const std::vector<Candidate>& candidates,
                        const std::unordered_map<std::uint16_t, std::size_t>& first_tagged,
                        std::uint64_t& other, std::uint64_t& unheld) {
    std::vector<bool> g1(candidates.size(), false);
    std::unordered_map<std::uint16_t, std::size_t> held;  // before the port's first tagged one
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::uint16_t port = candidates[i].port;
        const auto tagged = first_tagged.find(port);
        if (port == kG1Port || (tagged != first_tagged.end() && i >= tagged->second)) {
            g1[i] = true;
        } else if (tagged == first_tagged.end()) {
            ++other;
        } else if (held[port]++ < kReplayHeldPerPort) {
            g1[i] = true;
        } else {
            ++unheld;
        }
    }
    return g1;
}

}  // namespace

bool replay_index_build(std::istream& in, ReplayIndex& index, std::string& error,
                        const std::function<bool()>& stop) {
    index = ReplayIndex{};
    PcapReader& reader = index.format;
    reader.in = &in;
    if (pcap_read_header(reader, error) != PcapRead::Datagram) return false;
    std::vector<Candidate> candidates;
    std::unordered_map<std::uint16_t, std::size_t> first_tagged;  // port: its first "G1," one
    PcapDatagram d;
    for (bool more = true; more;) {
        if (stop && reader.records % kRecordsBetweenStops == 0 && stop()) {
            error = "loading it was stopped";
            return false;
        }
        const std::uint64_t offset = reader.offset;
        switch (pcap_read_next(reader, d, error)) {
            case PcapRead::Datagram: {
                const G1Parsed parsed = g1_parse(d.payload);
                const bool well_formed = parsed.error == G1ParseError::None;
                if (std::string_view(d.payload).starts_with(kG1Tag)) {
                    first_tagged.try_emplace(d.to.port, candidates.size());
                }
                candidates.push_back({offset, d.time_ns, d.from.ip, d.to.port, well_formed,
                                      well_formed ? parsed.fields[0] : 0});
                break;
            }
            case PcapRead::Skipped: ++index.other; break;
            case PcapRead::End: more = false; break;
            case PcapRead::Truncated:
                index.truncated = error;
                more = false;
                break;
            case PcapRead::Error: return false;
        }
    }
    in.clear();  // the end was read: reads at an offset go on from here
    const std::vector<bool> g1 = g1_of(candidates, first_tagged, index.other, index.unheld);
    std::unordered_map<std::uint32_t, std::size_t> track_of;  // address: place in `tracks`
    std::unordered_map<std::uint32_t, G1TimeUnwrap> unwraps;
    bool first = true;
    std::int64_t previous_ns = 0;
    std::int64_t at_ns = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (!g1[i]) continue;
        const Candidate& c = candidates[i];
        if (first) {
            index.start_ns = c.time_ns;
            first = false;
        } else {
            at_ns += std::clamp<std::int64_t>(c.time_ns - previous_ns, 0, kReplayLongestGapNs);
            at_ns = std::min(at_ns, kReplayLatestNs);
        }
        previous_ns = c.time_ns;
        const auto [place, added] = track_of.try_emplace(c.ip, index.tracks.size());
        if (added) index.tracks.push_back({c.ip, {}});
        ReplayTrack& track = index.tracks[place->second];
        // A malformed datagram has no time of its own: it keeps the one before.
        const std::int64_t time_us = c.well_formed ? g1_unwrap_time(unwraps[c.ip], c.time_field)
                                     : track.entries.empty() ? 0
                                                             : track.entries.back().time_us;
        track.entries.push_back({c.offset, at_ns, time_us, c.well_formed});
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
