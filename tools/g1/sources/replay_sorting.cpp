// Sorting a capture's datagrams into G1 and other traffic in one pass.
#include "tools/g1/sources/replay_sorting.h"

#include "plugin/telemetry/g1_datagram.h"

#include <bitset>
#include <istream>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace {

constexpr std::uint64_t kRecordsBetweenStops = 4096;  // how often sorting asks whether to stop
constexpr std::size_t kPorts = std::size_t{std::numeric_limits<std::uint16_t>::max()} + 1;
// Between two held records closer than this, reading on is cheaper than a seek, which drops
// what the stream has buffered.
constexpr std::uint64_t kReadOnBytes = 64 * 1024;

static_assert(kReplayHeldPerPort <= std::numeric_limits<std::uint8_t>::max());

struct Sorting {
    std::bitset<kPorts> g1_ports;  // known to carry G1
    // Of the ports not yet known to carry G1: how many of their datagrams are held, the port of
    // each one held (beside `held` of the result, in the file's order), and how many more came.
    std::vector<std::uint8_t> held_count = std::vector<std::uint8_t>(kPorts);
    std::vector<std::uint16_t> held_ports;
    std::unordered_map<std::uint16_t, std::uint64_t> unheld;
    std::uint64_t taken = 0;
};

void sort_datagram(Sorting& s, ReplaySorted& out, std::uint64_t offset, PcapDatagram& d,
                   const ReplayTake& take) {
    const std::uint16_t port = d.to.port;
    if (!s.g1_ports.test(port) && std::string_view(d.payload).starts_with(kG1Tag)) {
        s.g1_ports.set(port);  // what it held is G1 too
    }
    if (s.g1_ports.test(port)) {
        ++s.taken;
        take(offset, d);
    } else if (s.held_count[port] < kReplayHeldPerPort) {
        ++s.held_count[port];
        out.held.push_back({offset, s.taken});
        s.held_ports.push_back(port);
    } else {
        ++s.unheld[port];
    }
}

// What a port held before its first G1 is G1; what the others held is other traffic.
void finish_sorting(const Sorting& s, ReplaySorted& out) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.held.size(); ++i) {
        if (s.g1_ports.test(s.held_ports[i])) {
            out.held[kept++] = out.held[i];
        } else {
            ++out.other;
        }
    }
    out.held.resize(kept);
    for (const auto& [port, n] : s.unheld) (s.g1_ports.test(port) ? out.unheld : out.other) += n;
}

}  // namespace

bool replay_read_held(std::istream& in, const ReplaySorted& sorted, const ReplayPutHeld& put,
                      std::string& error) {
    PcapReader reader = sorted.format;
    reader.in = &in;
    PcapDatagram d;
    std::size_t h = 0;
    for (; h < sorted.held.size(); ++h) {
        const std::uint64_t offset = sorted.held[h].offset;
        if (h > 0 && offset >= reader.offset && offset - reader.offset < kReadOnBytes) {
            in.ignore(static_cast<std::streamsize>(offset - reader.offset));
        } else {
            in.seekg(static_cast<std::streamoff>(offset));
        }
        reader.offset = offset;
        if (!in) {
            error = "it cannot be read again at byte " + std::to_string(offset) +
                    ", where a datagram to a port that carries G1 lies: give a file, not a pipe";
            break;
        }
        if (pcap_read_next(reader, d, error) != PcapRead::Datagram) {
            error = "the file changed while it was read (byte " + std::to_string(offset) + ")";
            break;
        }
        put(h, d);
    }
    in.clear();
    return h == sorted.held.size();
}

bool replay_sort_pass(std::istream& in, ReplaySorted& sorted, std::string& error,
                      const ReplayTake& take, const std::function<bool()>& stop) {
    sorted = ReplaySorted{};
    PcapReader& reader = sorted.format;
    reader.in = &in;
    if (pcap_read_header(reader, error) != PcapRead::Datagram) return false;
    Sorting s;
    s.g1_ports.set(kG1Port);
    PcapDatagram d;
    for (bool more = true; more;) {
        if (stop && reader.records % kRecordsBetweenStops == 0 && stop()) {
            error = "loading it was stopped";
            return false;
        }
        const std::uint64_t offset = reader.offset;
        switch (pcap_read_next(reader, d, error)) {
            case PcapRead::Datagram: sort_datagram(s, sorted, offset, d, take); break;
            case PcapRead::Skipped: ++sorted.other; break;
            case PcapRead::End: more = false; break;
            case PcapRead::Truncated:
                sorted.truncated = error;
                more = false;
                break;
            case PcapRead::Error: return false;
        }
    }
    in.clear();         // the end was read: reads at an offset go on from here
    reader.bytes = {};  // the last record's, up to 256 KiB, not carried by every copy of the format
    finish_sorting(s, sorted);
    return true;
}
