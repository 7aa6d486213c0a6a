// Arbitrary bytes as a capture file for `g1 send --replay`: the pcap reader and the replay's
// loading, indexing and timing. A first byte below 24 picks a file header (byte order, time
// resolution and each link type the reader takes) and the rest is records; any other first byte
// makes the rest the whole file, header included. The sanitizers catch stray reads and overflow;
// the checks below catch wrong results.
#include "tools/g1/pcap/pcap_file.h"
#include "tools/g1/sources/replay.h"
#include "tools/g1/sources/replay_index.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kLinks[] = {kLinkNull,     kLinkEthernet, kLinkRaw,
                                    kLinkLinuxSll, kLinkIpv4,     kLinkLinuxSll2};
constexpr std::uint8_t kHeaderChoices = 4 * std::size(kLinks);

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "pcap_read_fuzz: %s\n", what);
        std::abort();
    }
}

struct Layout {
    bool big_endian = false;
    bool nanoseconds = false;
};

void put32(std::string& out, std::uint32_t v, bool big_endian) {
    for (std::uint32_t i = 0; i < 4; ++i) {
        out += static_cast<char>(v >> (8 * (big_endian ? 3 - i : i)));
    }
}

std::uint32_t get32(const std::string& in, std::size_t at, bool big_endian) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v |= std::uint32_t{static_cast<std::uint8_t>(in[at + i])} << (8 * (big_endian ? 3 - i : i));
    }
    return v;
}

std::string header(std::uint8_t choice) {
    const bool big = choice & 1;
    std::string out;
    put32(out, choice & 2 ? kPcapMagicNano : kPcapMagicMicro, big);
    put32(out, big ? 0x00020004 : 0x00040002, big);  // version 2.4, as two 16-bit fields
    put32(out, 0, big);
    put32(out, 0, big);
    put32(out, kPcapSnapLength, big);
    put32(out, kLinks[choice / 4], big);
    return out;
}

// A datagram read back from g1's own recording of it: the same but for the time, which g1 writes
// in microseconds.
void check_written(const PcapDatagram& d) {
    std::string record;
    pcap_record(d, record);
    std::istringstream in(pcap_file_header() + record);
    PcapReader reader;
    reader.in = &in;
    std::string error;
    PcapDatagram back;
    require(pcap_read_header(reader, error) == PcapRead::Datagram, "g1's header refused");
    require(pcap_read_next(reader, back, error) == PcapRead::Datagram, "g1's record refused");
    require(back.from.ip == d.from.ip && back.from.port == d.from.port && back.to.ip == d.to.ip &&
                back.to.port == d.to.port && back.payload == d.payload,
            "a datagram written and read again differs");
    // g1 writes whole seconds in 32 bits: times past 2106 are no recording of its own.
    if (d.time_ns / 1'000'000'000 <= UINT32_MAX) {
        require(back.time_ns == d.time_ns / 1000 * 1000, "a time written and read again differs");
    }
}

// Every record as the reader takes it, each datagram's time checked against its record header.
void check_reader(const std::string& file) {
    std::istringstream in(file);
    PcapReader reader;
    reader.in = &in;
    std::string error;
    if (pcap_read_header(reader, error) != PcapRead::Datagram) {
        require(!error.empty(), "a header refused without a reason");
        return;
    }
    require(reader.offset == kPcapFileHeaderSize, "the header is not 24 bytes");
    // Told from the magic's bytes, not from the reader: A1 B2 C3 D4 or A1 B2 3C 4D written
    // big-endian, the other way round little-endian.
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(file[i]); };
    const Layout layout{byte(0) == 0xA1, byte(0) == 0x4D || byte(3) == 0x4D};
    for (;;) {
        const std::uint64_t start = reader.offset;
        PcapDatagram d;
        const PcapRead read = pcap_read_next(reader, d, error);
        require(reader.offset <= file.size(), "read beyond the file");
        if (read == PcapRead::End || read == PcapRead::Truncated) {
            require(reader.offset == file.size(), "stopped before the end of the file");
            return;
        }
        if (read == PcapRead::Error) {
            require(!error.empty(), "a record refused without a reason");
            return;
        }
        if (read != PcapRead::Datagram) continue;
        const std::int64_t seconds = get32(file, start, layout.big_endian);
        const std::int64_t fraction = get32(file, start + 4, layout.big_endian);
        require(d.time_ns == seconds * 1'000'000'000 + fraction * (layout.nanoseconds ? 1 : 1000),
                "a time not as its record says");
        require(d.payload.size() + kIpv4HeaderSize + kUdpHeaderSize <= reader.offset - start,
                "a payload longer than its record");
        check_written(d);
    }
}

// The replay takes the file's G1 and times it: never two datagrams closer than the floor.
void check_replay(const std::string& file) {
    std::istringstream in(file);
    ReplayLoad load;
    std::string error;
    if (!replay_load(in, load, error)) return;
    std::uint64_t counted = 0;
    for (const ReplaySender& s : load.senders) counted += s.datagrams;
    require(counted == load.datagrams.size(), "the senders' counts do not add up");
    // The time index that g1 serve seeks in takes the very datagrams that loading plays.
    std::istringstream again(file);
    ReplayIndex index;
    std::vector<ReplayIndexEntry> entries;
    if (replay_index_build(again, index, error)) {
        for (const ReplayTrack& t : index.tracks) {
            entries.insert(entries.end(), t.entries.begin(), t.entries.end());
        }
    }
    std::ranges::sort(entries, {}, &ReplayIndexEntry::offset);
    require(entries.size() == load.datagrams.size() && index.other == load.other &&
                index.unheld == load.unheld,
            "the index and loading take different datagrams");
    PcapDatagram d;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        require(replay_index_read(again, index, entries[i], d, error) &&
                    d.payload == load.datagrams[i].payload,
                "the index reads back another datagram than loading took");
    }
    if (!replay_choose_sender(load, std::nullopt, file.size() % 2 == 0, error)) return;
    const ReplaySchedule s = replay_schedule(load.datagrams, 1000.0);
    for (std::uint64_t k = 1; k < 2 * load.datagrams.size() && k < 64; ++k) {
        require(replay_due_ns(s, k) - replay_due_ns(s, k - 1) >= kReplayShortestGapNs,
                "two datagrams due closer than the floor");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string file = data[0] < kHeaderChoices ? header(data[0]) + rest : rest;
    check_reader(file);
    check_replay(file);
    return 0;
}
