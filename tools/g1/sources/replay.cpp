// Loading a capture's G1 datagrams and timing their replay.
#include "tools/g1/sources/replay.h"

#include "plugin/telemetry/g1_datagram.h"
#include "plugin/telemetry/g1_parse.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr std::uint64_t kRecordsBetweenStops = 4096;  // how often loading asks whether to stop

bool tagged_g1(const PcapDatagram& d) {
    return std::string_view(d.payload).starts_with(kG1Tag);
}

// Sorts the file's UDP datagrams, one at a time, into G1 traffic (to the G1 port or to a port
// that carries G1 in this file, or tagged as G1 itself) and other traffic. A datagram to a port
// not known yet to carry G1 is held in case it does, a few per port and a bounded total, so a
// capture of mostly other traffic costs no memory in proportion to the file.
struct HeldPort {
    std::vector<std::pair<std::uint64_t, PcapDatagram>> datagrams;  // with their place in the file
    std::uint64_t unheld = 0;                                       // beyond what is held
};

struct G1Sorting {
    std::unordered_set<std::uint16_t> ports{kG1Port};
    std::unordered_map<std::uint16_t, HeldPort> held;
    std::size_t held_bytes = 0;
    std::vector<std::uint64_t> places;  // of load.datagrams in the file
    bool out_of_order = false;          // a port's held datagrams were kept after later ones
};

void keep_held(G1Sorting& s, ReplayLoad& load, std::uint16_t port) {
    const auto h = s.held.find(port);
    if (h == s.held.end()) return;
    for (auto& [place, d] : h->second.datagrams) {
        s.held_bytes -= d.payload.size();
        s.out_of_order = true;
        s.places.push_back(place);
        load.datagrams.push_back(std::move(d));
    }
    load.unheld += h->second.unheld;
    s.held.erase(h);
}

void sort_datagram(G1Sorting& s, ReplayLoad& load, std::uint64_t place, const PcapDatagram& d) {
    if (tagged_g1(d) && s.ports.insert(d.to.port).second) keep_held(s, load, d.to.port);
    if (s.ports.contains(d.to.port)) {
        s.places.push_back(place);
        load.datagrams.push_back(d);
        return;
    }
    HeldPort& h = s.held[d.to.port];
    if (h.datagrams.size() < kReplayHeldPerPort &&
        s.held_bytes + d.payload.size() <= kReplayHeldBytes) {
        s.held_bytes += d.payload.size();
        h.datagrams.emplace_back(place, d);
    } else {
        ++h.unheld;
    }
}

// What is still held is other traffic; the kept datagrams go back into the file's order.
void finish_sorting(G1Sorting& s, ReplayLoad& load) {
    for (const auto& [port, h] : s.held) load.other += h.datagrams.size() + h.unheld;
    if (!s.out_of_order) return;
    std::vector<std::size_t> order(load.datagrams.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::ranges::sort(order, {}, [&](std::size_t i) { return s.places[i]; });
    std::vector<PcapDatagram> sorted;
    sorted.reserve(order.size());
    for (const std::size_t i : order) sorted.push_back(std::move(load.datagrams[i]));
    load.datagrams = std::move(sorted);
}

std::vector<ReplaySender> senders_of(const std::vector<PcapDatagram>& datagrams) {
    std::vector<ReplaySender> senders;
    std::unordered_map<std::uint32_t, std::size_t> index;  // address to place in `senders`
    for (const PcapDatagram& d : datagrams) {
        const auto [at, added] = index.try_emplace(d.from.ip, senders.size());
        if (added) senders.push_back({d.from.ip, 0});
        ++senders[at->second].datagrams;
    }
    return senders;
}

// The senders with the most datagrams first (in order of appearance among equals), at most
// kReplaySendersListed of them, then how many more there are.
std::string senders_text(const std::vector<ReplaySender>& senders) {
    std::vector<std::size_t> order(senders.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const std::size_t listed = std::min(senders.size(), kReplaySendersListed);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(listed),
                      order.end(), [&](std::size_t a, std::size_t b) {
                          return senders[a].datagrams != senders[b].datagrams
                                     ? senders[a].datagrams > senders[b].datagrams
                                     : a < b;
                      });
    std::string text;
    for (std::size_t i = 0; i < listed; ++i) {
        const ReplaySender& s = senders[order[i]];
        text += ' ' + udp_ip_text(s.ip) + " (" + std::to_string(s.datagrams) + ')';
    }
    if (listed < senders.size()) {
        text += " and " + std::to_string(senders.size() - listed) + " more";
    }
    return text;
}

}  // namespace

bool replay_load(std::istream& in, ReplayLoad& load, std::string& error,
                 const std::function<bool()>& stop) {
    load = ReplayLoad{};
    PcapReader reader;
    reader.in = &in;
    if (pcap_read_header(reader, error) != PcapRead::Datagram) return false;
    PcapDatagram d;
    G1Sorting sorting;
    for (bool more = true; more;) {
        if (stop && reader.records % kRecordsBetweenStops == 0 && stop()) {
            error = "loading it was stopped";
            return false;
        }
        switch (pcap_read_next(reader, d, error)) {
            case PcapRead::Datagram: sort_datagram(sorting, load, reader.records, d); break;
            case PcapRead::Skipped: ++load.other; break;
            case PcapRead::End: more = false; break;
            case PcapRead::Truncated:
                load.truncated = error;
                more = false;
                break;
            case PcapRead::Error: return false;
        }
    }
    finish_sorting(sorting, load);
    load.senders = senders_of(load.datagrams);
    return true;
}

bool replay_choose_sender(ReplayLoad& load, std::optional<std::uint32_t> sender, bool all,
                          std::string& error) {
    if (load.senders.empty()) {
        error = "it holds no G1 datagram (" + std::to_string(load.other) + " other packets)";
        return false;
    }
    if (!sender && load.senders.size() == 1) sender = load.senders.front().ip;
    if (!sender ||
        std::ranges::find(load.senders, *sender, &ReplaySender::ip) == load.senders.end()) {
        error = sender ? "it holds no G1 from " + udp_ip_text(*sender) + "; its senders:"
                       : std::string("it holds G1 from several senders; choose one with --sender:");
        error += senders_text(load.senders);
        return false;
    }
    load.other_senders = static_cast<std::uint64_t>(std::erase_if(
        load.datagrams, [ip = *sender](const PcapDatagram& d) { return d.from.ip != ip; }));
    if (all) return true;
    load.malformed = static_cast<std::uint64_t>(std::erase_if(load.datagrams, [](const auto& d) {
        return g1_parse(d.payload).error != G1ParseError::None;
    }));
    if (load.datagrams.empty()) {
        error = "none of the " + std::to_string(load.malformed) + " datagrams of " +
                udp_ip_text(*sender) + " is well-formed G1 (--all plays them as recorded)";
        return false;
    }
    return true;
}

ReplaySchedule replay_schedule(std::span<const PcapDatagram> datagrams, double speed) {
    ReplaySchedule s;
    std::int64_t recorded = 0;  // time into the recording, backward gaps left out
    const auto scaled = [speed](std::int64_t ns) {
        const double at = std::round(static_cast<double>(ns) / speed);
        return at < kReplayLatestNs ? static_cast<std::int64_t>(at) : kReplayLatestNs;
    };
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const std::int64_t gap = i > 0 ? datagrams[i].time_ns - datagrams[i - 1].time_ns : 0;
        recorded = std::min(recorded + std::clamp<std::int64_t>(gap, 0, kReplayLongestGapNs),
                            kReplayLatestNs);
        const std::int64_t at = scaled(recorded);
        s.offsets_ns.push_back(i > 0 ? std::max(at, s.offsets_ns.back() + kReplayShortestGapNs)
                                     : at);
    }
    const std::int64_t mean_gap = datagrams.size() > 1 && recorded > 0
                                      ? recorded / static_cast<std::int64_t>(datagrams.size() - 1)
                                      : kReplayLoneGapNs;
    s.pass_ns = s.offsets_ns.empty() ? scaled(mean_gap)
                                     : std::max(scaled(recorded + mean_gap),
                                                s.offsets_ns.back() + kReplayShortestGapNs);
    return s;
}

std::int64_t replay_due_ns(const ReplaySchedule& s, std::uint64_t k) {
    const std::uint64_t n = s.offsets_ns.size();
    return static_cast<std::int64_t>(k / n) * s.pass_ns + s.offsets_ns[k % n];
}
