// Writing and reading the capture files of `g1 record` and `g1 send --replay`.
#include "tools/g1/pcap/pcap_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <istream>
#include <iterator>

namespace {

constexpr std::uint16_t kIpv4EtherType = 0x0800;
constexpr std::uint16_t kVlanEtherTypes[] = {0x8100, 0x88A8, 0x9100};  // tags to step over
constexpr std::size_t kVlanTagSize = 4;
constexpr std::size_t kSllHeaderSize = 16;
constexpr std::size_t kSll2HeaderSize = 20;
constexpr std::size_t kNullHeaderSize = 4;
constexpr std::uint32_t kNullFamilyIpv4 = 2;  // AF_INET in the capturing machine's order
constexpr std::uint8_t kUdpProtocol = 17;
constexpr std::uint8_t kWrittenTtl = 64;
constexpr std::size_t kMaxUdpPayload = 65535 - kIpv4HeaderSize - kUdpHeaderSize;
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

void put_le32(std::string& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void put_le16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void put_be16(std::string& out, std::uint32_t v) {
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
}

void put_be32(std::string& out, std::uint32_t v) {
    put_be16(out, v >> 16);
    put_be16(out, v & 0xFFFF);
}

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(be16(p)) << 16 | be16(p + 2);
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint32_t swap32(std::uint32_t v) {
    return v >> 24 | (v >> 8 & 0xFF00) | (v << 8 & 0xFF0000) | v << 24;
}

// The one's complement sum of the header's 16-bit words, as IPv4 checks it.
std::uint16_t ipv4_checksum(const char* header) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kIpv4HeaderSize; i += 2) {
        sum += be16(reinterpret_cast<const std::uint8_t*>(header + i));
    }
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

// Reads exactly `n` bytes; false when the file ends first (`got` tells how many came).
bool read_exactly(PcapReader& r, std::uint8_t* into, std::size_t n, std::size_t& got) {
    r.in->read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(n));
    got = static_cast<std::size_t>(r.in->gcount());
    r.offset += got;
    return got == n;
}

std::uint32_t file_u32(const PcapReader& r, const std::uint8_t* p) {
    return r.swapped ? swap32(le32(p)) : le32(p);
}

// The IPv4 packet inside one record's link-layer frame, or an empty span for other traffic.
std::span<const std::uint8_t> ipv4_of(std::uint32_t link, std::span<const std::uint8_t> frame) {
    const auto after = [&](std::size_t header, bool ipv4) {
        return ipv4 && frame.size() >= header ? frame.subspan(header)
                                              : std::span<const std::uint8_t>();
    };
    switch (link) {
        case kLinkEthernet: {
            std::size_t at = 12;  // after the two addresses
            while (frame.size() >= at + 2 && std::ranges::find(kVlanEtherTypes, be16(&frame[at])) !=
                                                 std::end(kVlanEtherTypes)) {
                at += kVlanTagSize;
            }
            return after(at + 2, frame.size() >= at + 2 && be16(&frame[at]) == kIpv4EtherType);
        }
        case kLinkLinuxSll:
            return after(kSllHeaderSize,
                         frame.size() >= kSllHeaderSize && be16(&frame[14]) == kIpv4EtherType);
        case kLinkLinuxSll2:
            return after(kSll2HeaderSize,
                         frame.size() >= kSll2HeaderSize && be16(&frame[0]) == kIpv4EtherType);
        case kLinkNull:
            return after(kNullHeaderSize,
                         frame.size() >= kNullHeaderSize && (le32(&frame[0]) == kNullFamilyIpv4 ||
                                                             be32(&frame[0]) == kNullFamilyIpv4));
        default:  // raw IP, IPv4
            return frame;
    }
}

// A whole, unfragmented IPv4 UDP datagram; false for anything else.
bool udp_of(std::span<const std::uint8_t> ip, PcapDatagram& d) {
    if (ip.size() < kIpv4HeaderSize || ip[0] >> 4 != 4) return false;
    const std::size_t header = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t total = be16(&ip[2]);
    const bool fragment = (be16(&ip[6]) & 0x3FFF) != 0;  // more fragments, or an offset
    if (header < kIpv4HeaderSize || total < header + kUdpHeaderSize || total > ip.size() ||
        fragment || ip[9] != kUdpProtocol) {
        return false;
    }
    const std::uint8_t* udp = &ip[header];
    const std::size_t length = be16(udp + 4);
    if (length < kUdpHeaderSize || header + length > total) return false;
    d.from = {be32(&ip[12]), be16(udp)};
    d.to = {be32(&ip[16]), be16(udp + 2)};
    d.payload.assign(reinterpret_cast<const char*>(udp + kUdpHeaderSize), length - kUdpHeaderSize);
    return true;
}

bool link_known(std::uint32_t link) {
    for (std::uint32_t known :
         {kLinkNull, kLinkEthernet, kLinkRaw, kLinkLinuxSll, kLinkIpv4, kLinkLinuxSll2}) {
        if (link == known) return true;
    }
    return false;
}

}  // namespace

std::string pcap_file_header() {
    std::string out;
    put_le32(out, kPcapMagicMicro);
    put_le16(out, 2);  // version 2.4
    put_le16(out, 4);
    put_le32(out, 0);  // time zone: UTC
    put_le32(out, 0);  // timestamp accuracy
    put_le32(out, kPcapSnapLength);
    put_le32(out, kLinkRaw);
    return out;
}

void pcap_record(const PcapDatagram& d, std::string& out) {
    const std::size_t payload = std::min(d.payload.size(), kMaxUdpPayload);
    const auto length = static_cast<std::uint32_t>(kIpv4HeaderSize + kUdpHeaderSize + payload);
    const std::int64_t time_ns = std::max<std::int64_t>(d.time_ns, 0);
    out.clear();
    put_le32(out, static_cast<std::uint32_t>(time_ns / kNsPerSecond));
    put_le32(out, static_cast<std::uint32_t>(time_ns % kNsPerSecond / 1000));
    put_le32(out, length);
    put_le32(out, length);
    const std::size_t ip = out.size();
    out += static_cast<char>(0x45);  // version 4, five words of header
    out += '\0';                     // type of service
    put_be16(out, length);
    put_be32(out, 0);  // identification, flags and fragment offset: a whole datagram
    out += static_cast<char>(kWrittenTtl);
    out += static_cast<char>(kUdpProtocol);
    put_be16(out, 0);  // the checksum, filled in below
    put_be32(out, d.from.ip);
    put_be32(out, d.to.ip);
    const std::uint16_t checksum = ipv4_checksum(out.data() + ip);
    out[ip + 10] = static_cast<char>(checksum >> 8);
    out[ip + 11] = static_cast<char>(checksum & 0xFF);
    put_be16(out, d.from.port);
    put_be16(out, d.to.port);
    put_be16(out, static_cast<std::uint32_t>(kUdpHeaderSize + payload));
    put_be16(out, 0);  // no UDP checksum
    out.append(d.payload, 0, payload);
}

bool pcap_writer_open(PcapWriter& w, const std::string& path, std::string& error) {
    w = PcapWriter{};
    w.file = std::fopen(path.c_str(), "wb");
    if (w.file == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // Unbuffered: each record leaves in the one write that pcap_writer_add makes.
    std::setvbuf(w.file, nullptr, _IONBF, 0);
    const std::string header = pcap_file_header();
    if (std::fwrite(header.data(), 1, header.size(), w.file) != header.size()) {
        error = "cannot write to " + path + ": " + std::strerror(errno);
        pcap_writer_close(w);
        return false;
    }
    w.bytes = header.size();
    return true;
}

bool pcap_writer_add(PcapWriter& w, const PcapDatagram& d, std::string& error) {
    pcap_record(d, w.record);
    const std::size_t written = std::fwrite(w.record.data(), 1, w.record.size(), w.file);
    w.bytes += written;
    if (written != w.record.size() || std::fflush(w.file) != 0) {
        error = std::string("writing the recording failed: ") + std::strerror(errno);
        return false;
    }
    ++w.datagrams;
    return true;
}

void pcap_writer_close(PcapWriter& w) {
    if (w.file != nullptr) std::fclose(w.file);
    w.file = nullptr;
}

PcapRead pcap_read_header(PcapReader& r, std::string& error) {
    std::uint8_t h[kPcapFileHeaderSize];
    std::size_t got = 0;
    const bool whole = read_exactly(r, h, sizeof h, got);
    const std::uint32_t magic = got >= 4 ? le32(h) : 0;
    r.swapped = magic == swap32(kPcapMagicMicro) || magic == swap32(kPcapMagicNano);
    r.nanoseconds = magic == kPcapMagicNano || magic == swap32(kPcapMagicNano);
    if (magic == kPcapngMagic) {
        error =
            "a pcapng file, which this reader does not take: save it as pcap (Wireshark: File > "
            "Save As, \"Wireshark/tcpdump - pcap\"; or editcap -F pcap IN OUT)";
        return PcapRead::Error;
    }
    if (!r.swapped && magic != kPcapMagicMicro && magic != kPcapMagicNano) {
        error = "not a pcap capture file (no pcap magic number at its start)";
        return PcapRead::Error;
    }
    if (!whole) {
        error = "the file ends inside its 24-byte header";
        return PcapRead::Error;
    }
    const std::uint32_t version = r.swapped ? be16(h + 4) : le32(h + 4) & 0xFFFF;
    r.link = file_u32(r, h + 20) & 0xFFFF;  // the upper bits tell of frame check sequences
    if (version != 2) {
        error = "pcap version " + std::to_string(version) + ", not 2";
        return PcapRead::Error;
    }
    if (!link_known(r.link)) {
        error = "link type " + std::to_string(r.link) +
                " is not one this reader takes (Ethernet, raw IP, Linux cooked, BSD loopback)";
        return PcapRead::Error;
    }
    return PcapRead::Datagram;
}

namespace {

// The datagram of a whole record: its header's time, and its frame's IPv4 UDP datagram.
PcapRead record_datagram(const PcapReader& r, const std::uint8_t* header,
                         std::span<const std::uint8_t> frame, PcapDatagram& d) {
    const std::int64_t fraction = file_u32(r, header + 4);
    d.time_ns = static_cast<std::int64_t>(file_u32(r, header)) * kNsPerSecond +
                (r.nanoseconds ? fraction : fraction * 1000);
    if (frame.size() < file_u32(r, header + 12)) return PcapRead::Skipped;  // cut by the snapshot
    return udp_of(ipv4_of(r.link, frame), d) ? PcapRead::Datagram : PcapRead::Skipped;
}

}  // namespace

PcapRead pcap_read_next(PcapReader& r, PcapDatagram& d, std::string& error) {
    std::uint8_t h[kPcapRecordHeaderSize];
    std::size_t got = 0;
    const std::uint64_t start = r.offset;
    // Made only for a message: the one pass over a large file reads a million records.
    const auto where = [&] {
        return "record " + std::to_string(r.records + 1) + " (byte " + std::to_string(start) + ")";
    };
    if (!read_exactly(r, h, sizeof h, got)) {
        if (got == 0) return PcapRead::End;
        error = "the file ends inside the header of " + where();
        return PcapRead::Truncated;
    }
    const std::uint32_t kept = file_u32(r, h + 8);
    if (kept > kPcapMaxRecord) {
        error = where() + " claims " + std::to_string(kept) + " bytes: the file is damaged";
        return PcapRead::Error;
    }
    r.bytes.resize(kept);
    if (!read_exactly(r, r.bytes.data(), kept, got)) {
        error = "the file ends inside " + where() + ", " + std::to_string(got) + " of its " +
                std::to_string(kept) + " bytes there";
        return PcapRead::Truncated;
    }
    ++r.records;
    return record_datagram(r, h, r.bytes, d);
}

PcapRead pcap_parse_record(const PcapReader& format, std::span<const std::uint8_t> record,
                           PcapDatagram& d) {
    if (record.size() < kPcapRecordHeaderSize) return PcapRead::Truncated;
    const std::uint32_t kept = file_u32(format, record.data() + 8);
    if (kept > kPcapMaxRecord) return PcapRead::Error;
    if (record.size() - kPcapRecordHeaderSize < kept) return PcapRead::Truncated;
    return record_datagram(format, record.data(), record.subspan(kPcapRecordHeaderSize, kept), d);
}
