// Loading a capture's G1 datagrams and timing their replay.
#include "tools/g1/replay.h"

#include "plugin/telemetry/g1_datagram.h"

#include <algorithm>
#include <cmath>

bool replay_is_g1(const PcapDatagram& d) {
    return d.to.port == kG1Port || std::string_view(d.payload).starts_with(kG1Tag);
}

bool replay_load(std::istream& in, ReplayLoad& load, std::string& error) {
    load = ReplayLoad{};
    PcapReader reader;
    reader.in = &in;
    if (pcap_read_header(reader, error) != PcapRead::Datagram) return false;
    PcapDatagram d;
    for (;;) {
        switch (pcap_read_next(reader, d, error)) {
            case PcapRead::Datagram:
                if (!replay_is_g1(d)) {
                    ++load.other;
                    break;
                }
                {
                    auto sender = std::ranges::find(load.senders, d.from.ip, &ReplaySender::ip);
                    if (sender == load.senders.end()) {
                        sender = load.senders.insert(sender, {d.from.ip, 0});
                    }
                    ++sender->datagrams;
                }
                load.datagrams.push_back(d);
                break;
            case PcapRead::Skipped: ++load.other; break;
            case PcapRead::End: return true;
            case PcapRead::Truncated: load.truncated = error; return true;
            case PcapRead::Error: return false;
        }
    }
}

bool replay_choose_sender(ReplayLoad& load, std::optional<std::uint32_t> sender,
                          std::string& error) {
    if (load.senders.empty()) {
        error = "it holds no G1 datagram (" + std::to_string(load.other) + " other packets)";
        return false;
    }
    if (!sender && load.senders.size() == 1) return true;
    if (!sender ||
        std::ranges::find(load.senders, *sender, &ReplaySender::ip) == load.senders.end()) {
        if (sender) {
            error = "it holds no G1 from ";
            error += udp_ip_text(*sender);
            error += "; its senders:";
        } else {
            error = "it holds G1 from several senders; choose one with --sender:";
        }
        for (const ReplaySender& s : load.senders) {
            error += ' ';
            error += udp_ip_text(s.ip);
            error += " (";
            error += std::to_string(s.datagrams);
            error += ')';
        }
        return false;
    }
    load.other_senders = static_cast<std::uint64_t>(std::erase_if(
        load.datagrams, [ip = *sender](const PcapDatagram& d) { return d.from.ip != ip; }));
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
        s.offsets_ns.push_back(scaled(recorded));
    }
    const std::int64_t mean_gap = datagrams.size() > 1 && recorded > 0
                                      ? recorded / static_cast<std::int64_t>(datagrams.size() - 1)
                                      : kReplayLoneGapNs;
    s.pass_ns = scaled(recorded + mean_gap);
    return s;
}

std::int64_t replay_due_ns(const ReplaySchedule& s, std::uint64_t k) {
    const std::uint64_t n = s.offsets_ns.size();
    return static_cast<std::int64_t>(k / n) * s.pass_ns + s.offsets_ns[k % n];
}
