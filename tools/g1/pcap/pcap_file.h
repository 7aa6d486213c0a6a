// Recordings of UDP datagrams in the classic capture-file format that packet analysers read and
// write. `g1 record` writes them and `g1 send --replay` reads them, its own and those of other
// capture tools.
//
// The format, every field in the writer's byte order (the magic tells which):
//   file header, 24 bytes: magic u32 (0xA1B2C3D4 microseconds, 0xA1B23C4D nanoseconds),
//     version u16 2, u16 4, time zone i32 0, accuracy u32 0, snapshot length u32, link type u32
//   then one record per packet: seconds u32, fraction u32 (micro- or nanoseconds), bytes kept
//     u32, bytes on the wire u32, then the bytes kept.
// Written here: microseconds, link type raw IPv4, each datagram as an IPv4 and a UDP header
// (UDP checksum 0, "none") and its payload. Read here: either byte order and either fraction,
// link types Ethernet (802.1Q tags skipped), raw IP, Linux cooked (v1 and v2) and BSD loopback;
// records that are not a whole, unfragmented IPv4 UDP datagram are skipped.
#pragma once

#include "tools/common/udp.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint32_t kPcapMagicMicro = 0xA1B2C3D4;
inline constexpr std::uint32_t kPcapMagicNano = 0xA1B23C4D;
inline constexpr std::uint32_t kPcapngMagic = 0x0A0D0D0A;  // the newer format: refused by name
inline constexpr std::size_t kPcapFileHeaderSize = 24;
inline constexpr std::size_t kPcapRecordHeaderSize = 16;
inline constexpr std::uint32_t kPcapSnapLength = 65535;
// More than any link carries: a record that claims more is damage, not a packet.
inline constexpr std::uint32_t kPcapMaxRecord = 1u << 18;

inline constexpr std::uint32_t kLinkNull = 0;  // BSD loopback: a 4-byte address family
inline constexpr std::uint32_t kLinkEthernet = 1;
inline constexpr std::uint32_t kLinkRaw = 101;  // IPv4 or IPv6, told by the version nibble
inline constexpr std::uint32_t kLinkLinuxSll = 113;
inline constexpr std::uint32_t kLinkIpv4 = 228;
inline constexpr std::uint32_t kLinkLinuxSll2 = 276;

inline constexpr std::size_t kIpv4HeaderSize = 20;
inline constexpr std::size_t kUdpHeaderSize = 8;

// One UDP datagram of a capture. `time_ns` counts from 1970, as the file's clock does.
struct PcapDatagram {
    std::int64_t time_ns = 0;
    UdpAddress from;
    UdpAddress to;
    std::string payload;
};

// ---- Writing

// The file header: microseconds, raw IPv4, little-endian.
std::string pcap_file_header();

// One record holding `d` whole: record header, IPv4 header, UDP header, payload.
void pcap_record(const PcapDatagram& d, std::string& out);

// A recording on disk. Each record goes out with one write and is flushed at once, so a
// recording cut off by a kill or a full disk holds every datagram before its last one whole.
struct PcapWriter {
    std::FILE* file = nullptr;
    std::string record;  // kept from datagram to datagram
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
};

bool pcap_writer_open(PcapWriter& writer, const std::string& path, std::string& error);
bool pcap_writer_add(PcapWriter& writer, const PcapDatagram& datagram, std::string& error);
void pcap_writer_close(PcapWriter& writer);

// ---- Reading

struct PcapReader {
    std::istream* in = nullptr;
    bool swapped = false;  // written in the other byte order
    bool nanoseconds = false;
    std::uint32_t link = 0;
    std::uint64_t offset = 0;   // bytes read so far
    std::uint64_t records = 0;  // records read whole
    std::vector<std::uint8_t> bytes;
};

enum class PcapRead {
    Datagram,   // the record held an IPv4 UDP datagram
    Skipped,    // a whole record of other traffic, or of a datagram cut by the snapshot length
    End,        // the file ended after a whole record
    Truncated,  // the file ends inside a record; `error` says where
    Error,      // not a capture file, or a record that cannot be one; `error` says why
};

// Reads and checks the file header: Datagram when it is good, Error otherwise.
PcapRead pcap_read_header(PcapReader& reader, std::string& error);
PcapRead pcap_read_next(PcapReader& reader, PcapDatagram& datagram, std::string& error);

// The same from a record already in memory (its header and what follows, read at an offset
// where a record starts) in the format of `format`'s file: Truncated when `record` ends first,
// Error for a record no capture holds.
PcapRead pcap_parse_record(const PcapReader& format, std::span<const std::uint8_t> record,
                           PcapDatagram& datagram);
