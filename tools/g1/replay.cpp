// Loading a capture's G1 datagrams and timing their replay.
#include "tools/g1/replay.h"

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

// The G1 traffic of `d`, the file's UDP datagrams: what goes to the G1 port or to a port that
// carries G1 in this file, or is tagged as G1 itself. The rest is counted as other traffic.
void keep_g1_traffic(std::vector<PcapDatagram>& d, std::uint64_t& other) {
    std::unordered_set<std::uint16_t> ports{kG1Port};
    for (const PcapDatagram& each : d) {
        if (tagged_g1(each)) ports.insert(each.to.port);
    }
    other += static_cast<std::uint64_t>(std::erase_if(d, [&](const PcapDatagram& each) {
        return !ports.contains(each.to.port) && !tagged_g1(each);
    }));
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
    for (bool more = true; more;) {
        if (stop && reader.records % kRecordsBetweenStops == 0 && stop()) {
            error = "loading it was stopped";
            return false;
        }
        switch (pcap_read_next(reader, d, error)) {
            case PcapRead::Datagram: load.datagrams.push_back(d); break;
            case PcapRead::Skipped: ++load.other; break;
            case PcapRead::End: more = false; break;
            case PcapRead::Truncated:
                load.truncated = error;
                more = false;
                break;
            case PcapRead::Error: return false;
        }
    }
    keep_g1_traffic(load.datagrams, load.other);
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
