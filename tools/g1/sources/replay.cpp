// Loading a capture's G1 datagrams and timing their replay.
#include "tools/g1/sources/replay.h"

#include "plugin/telemetry/g1_parse.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>

namespace {

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
    ReplaySorted sorted;
    const auto keep = [](std::uint64_t, PcapDatagram& d) { return std::move(d); };
    if (!replay_sort(in, sorted, load.datagrams, keep, error, stop)) return false;
    load.other = sorted.other;
    load.unheld = sorted.unheld;
    load.truncated = std::move(sorted.truncated);
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

std::int64_t replay_timeline_next(std::int64_t at_ns, std::int64_t gap_ns) {
    return std::min(at_ns + std::clamp<std::int64_t>(gap_ns, 0, kReplayLongestGapNs),
                    kReplayLatestNs);
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
        recorded = replay_timeline_next(recorded, gap);
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
