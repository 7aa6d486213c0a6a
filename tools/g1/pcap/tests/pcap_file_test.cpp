// Capture files: g1's own round trip, the files of other capture tools, damaged files, and what
// a replay takes from them and when it sends each datagram.
#include "tools/g1/pcap/pcap_file.h"

#include "plugin/telemetry/g1_datagram.h"
#include "tools/g1/sources/replay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

constexpr UdpAddress kSim{0xC0A80114, 49152};    // 192.168.1.20
constexpr UdpAddress kOther{0xC0A80115, 50000};  // 192.168.1.21
constexpr UdpAddress kG1Broadcast{kLimitedBroadcastIp, 50010};
constexpr std::int64_t kT0 = 1'765'000'000'000'000'000;  // a time in 2025, in ns

PcapDatagram datagram(std::int64_t t, UdpAddress from, std::string payload,
                      UdpAddress to = kG1Broadcast) {
    return {t, from, to, std::move(payload)};
}

std::string g1_file(const std::vector<PcapDatagram>& ds) {
    std::string file = pcap_file_header(), record;
    for (const PcapDatagram& d : ds) {
        pcap_record(d, record);
        file += record;
    }
    return file;
}

struct Read {
    std::vector<PcapDatagram> datagrams;
    int skipped = 0;
    PcapRead last = PcapRead::End;
    std::string error;
};

Read read_all(const std::string& file) {
    std::istringstream in(file);
    PcapReader reader;
    reader.in = &in;
    Read r;
    r.last = pcap_read_header(reader, r.error);
    PcapDatagram d;
    while (r.last == PcapRead::Datagram || r.last == PcapRead::Skipped) {
        r.last = pcap_read_next(reader, d, r.error);
        if (r.last == PcapRead::Datagram) r.datagrams.push_back(d);
        r.skipped += r.last == PcapRead::Skipped;
    }
    return r;
}

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string shown(const PcapDatagram& d) {
    return std::to_string(d.time_ns) + " " + udp_address_text(d.from) + " > " +
           udp_address_text(d.to) + " " + d.payload;
}

// A capture as another tool writes it, in either byte order, with micro- or nanoseconds (the
// same time either way), holding one packet.
std::string capture(bool big_endian, bool nanoseconds, std::uint32_t link,
                    const std::string& packet, std::uint32_t wire_extra = 0) {
    const auto u32 = [big_endian](std::uint32_t v) {
        std::string s(4, '\0');
        for (std::size_t i = 0; i < 4; ++i)
            s[big_endian ? 3 - i : i] = static_cast<char>(v >> (8 * i));
        return s;
    };
    const auto size = static_cast<std::uint32_t>(packet.size());
    return u32(nanoseconds ? kPcapMagicNano : kPcapMagicMicro) +
           u32(big_endian ? 0x20004 : 0x40002) + u32(0) + u32(0) + u32(65535) + u32(link) +
           u32(1765000000) + u32(nanoseconds ? 123456000 : 123456) + u32(size) +
           u32(size + wire_extra) + packet;
}

// The IPv4 packet of a datagram as g1 writes it, with one byte changed if asked.
std::string ip_packet(const PcapDatagram& d, std::size_t at = 0, int value = -1) {
    std::string record;
    pcap_record(d, record);
    std::string ip = record.substr(kPcapRecordHeaderSize);
    if (value >= 0) ip[at] = static_cast<char>(value);
    return ip;
}

}  // namespace

TEST(PcapFile, DatagramsComeBackWithTimeSenderDestinationAndBytesAndAValidHeaderChecksum) {
    const std::vector<PcapDatagram> written = {
        datagram(kT0 + 16'667'000, kSim, "G1,16667,0,0,0,0,0,0,0,0,0,0,0,0,"),
        datagram(kT0 + 33'334'000, {kLoopbackIp, 40000}, "", {kLoopbackIp, 50011}),
        datagram(kT0 + 50'000'000, kOther, std::string(1400, '\xff')),
    };
    const Read r = read_all(g1_file(written));
    ASSERT_EQ(r.last, PcapRead::End) << r.error;
    ASSERT_EQ(r.datagrams.size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        EXPECT_EQ(shown(r.datagrams[i]), shown(written[i]));
    }
    const std::string ip = ip_packet(written[0]);
    std::uint32_t sum = 0;  // of the header's 16-bit words, the checksum's included
    for (std::size_t i = 0; i < kIpv4HeaderSize; ++i)
        sum += (i % 2 ? 1u : 256u) * static_cast<std::uint8_t>(ip[i]);
    EXPECT_EQ((sum & 0xFFFF) + (sum >> 16), 0xFFFFu);
}

TEST(PcapFile, OtherToolsCapturesGiveTheirUdpDatagramsAndSkipTheRest) {
    PcapDatagram d = datagram(0, kSim, "G1,1,2,3,4,5,6,7,8,9,10,11,12,13,");
    const std::string ip = ip_packet(d);
    const std::string macs(12, '\x01');
    const std::string ipv4_type = bytes({0x08, 0x00});
    struct Case {
        const char* what;
        std::string file;
        bool datagram;
    } cases[] = {
        {"Ethernet", capture(false, false, kLinkEthernet, macs + ipv4_type + ip), true},
        {"Ethernet, 802.1Q, big-endian",
         capture(true, false, kLinkEthernet, macs + bytes({0x81, 0, 0, 5}) + ipv4_type + ip), true},
        {"Linux cooked, ns",
         capture(false, true, kLinkLinuxSll, std::string(14, '\0') + ipv4_type + ip), true},
        {"Linux cooked v2, big-endian ns",
         capture(true, true, kLinkLinuxSll2, ipv4_type + std::string(18, '\0') + ip), true},
        {"BSD loopback", capture(false, false, kLinkNull, bytes({2, 0, 0, 0}) + ip), true},
        {"raw IPv4", capture(true, false, kLinkIpv4, ip), true},
        {"ARP", capture(false, false, kLinkEthernet, macs + bytes({8, 6}) + ip), false},
        {"TCP", capture(false, false, kLinkRaw, ip_packet(d, 9, 6)), false},
        {"a first fragment", capture(false, false, kLinkRaw, ip_packet(d, 6, 0x20)), false},
        {"IPv6", capture(false, false, kLinkRaw, ip_packet(d, 0, 0x60)), false},
        {"cut by the snapshot length", capture(false, false, kLinkRaw, ip, 10), false},
    };
    d.time_ns = 1765000000LL * 1'000'000'000 + 123456000;
    for (const Case& c : cases) {
        const Read r = read_all(c.file);
        EXPECT_EQ(r.last, PcapRead::End) << c.what << ": " << r.error;
        ASSERT_EQ(r.datagrams.size(), c.datagram ? 1u : 0u) << c.what;
        EXPECT_EQ(r.skipped, c.datagram ? 0 : 1) << c.what;
        if (!c.datagram) continue;
        EXPECT_EQ(shown(r.datagrams[0]), shown(d)) << c.what;
    }
}

TEST(PcapFile, DamagedFilesAreRefusedAndACutOneGivesItsWholeDatagrams) {
    const std::string whole =
        g1_file({datagram(kT0, kSim, "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,"),
                 datagram(kT0 + 1000, kSim, "G1,1000,0,0,0,0,0,0,0,0,0,0,0,0,")});
    std::string huge = whole;
    huge[kPcapFileHeaderSize + 8 + 3] = '\x7f';  // the first record claims 2 GiB
    struct Case {
        const char* what;
        std::string file;
        PcapRead last;
        std::size_t datagrams;
        const char* says;
    } cases[] = {
        {"empty", "", PcapRead::Error, 0, "not a pcap"},
        {"text", "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,", PcapRead::Error, 0, "not a pcap"},
        {"pcapng", bytes({0x0a, 0x0d, 0x0d, 0x0a}) + std::string(40, '\0'), PcapRead::Error, 0,
         "pcapng"},
        {"cut in a record header", whole.substr(0, 104), PcapRead::Truncated, 1,
         "record 2 (byte 97)"},
        {"cut in a record's bytes", whole.substr(0, whole.size() - 1), PcapRead::Truncated, 1,
         "59 of its 60 bytes"},
        {"a record longer than any link", huge, PcapRead::Error, 0, "damaged"},
        {"unknown link type", whole.substr(0, 20) + bytes({147, 0, 0, 0}), PcapRead::Error, 0,
         "link type 147"},
    };
    for (const Case& c : cases) {
        const Read r = read_all(c.file);
        EXPECT_EQ(r.last, c.last) << c.what;
        EXPECT_EQ(r.datagrams.size(), c.datagrams) << c.what;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << c.what << ": " << r.error;
    }
}

TEST(Replay, TakesOneSendersG1AndTellsWhatElseTheFileHeld) {
    const std::string file = g1_file({
        datagram(kT0, kSim, "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,"),
        datagram(kT0 + 1, kOther, "G1,5,0,0,0,0,0,0,0,0,0,0,0,0,"),
        datagram(kT0 + 2, kSim, "x", kG1Broadcast),          // to the G1 port: kept
        datagram(kT0 + 3, kOther, "dns", {0x08080808, 53}),  // other traffic
        datagram(kT0 + 4, kSim, "G1,9,0,0,0,0,0,0,0,0,0,0,0,0,", {kLoopbackIp, 6000}),
    });
    std::string error;
    ReplayLoad load;
    std::istringstream in(file);
    ASSERT_TRUE(replay_load(in, load, error)) << error;
    EXPECT_EQ(load.other, 1u);
    ReplayLoad both = load;
    EXPECT_FALSE(replay_choose_sender(both, std::nullopt, true, error));
    EXPECT_EQ(error,
              "it holds G1 from several senders; choose one with --sender: 192.168.1.20 (3) "
              "192.168.1.21 (1)");
    EXPECT_FALSE(replay_choose_sender(both, 0x0A000001, true, error));
    EXPECT_NE(error.find("no G1 from 10.0.0.1"), std::string::npos) << error;
    ASSERT_TRUE(replay_choose_sender(load, kSim.ip, true, error)) << error;
    ASSERT_EQ(load.datagrams.size(), 3u);
    EXPECT_EQ(load.datagrams[2].payload, "G1,9,0,0,0,0,0,0,0,0,0,0,0,0,");
    EXPECT_EQ(load.other_senders, 1u);

    std::istringstream none(g1_file({datagram(kT0, kSim, "dns", {0x08080808, 53})}));
    EXPECT_TRUE(replay_load(none, load, error) &&
                !replay_choose_sender(load, std::nullopt, true, error));
    EXPECT_EQ(error, "it holds no G1 datagram (1 other packets)");
}

TEST(Replay, PlaysWellFormedG1UnlessAllAndKeepsMalformedOnesOfAnyPortThatCarriesG1) {
    const UdpAddress to{kLimitedBroadcastIp, 50020};  // g1 record --port 50020
    const std::string file = g1_file({
        datagram(kT0, kSim, "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,", to),
        datagram(kT0 + 1, kSim, "", to),
        datagram(kT0 + 2, kSim, std::string("\xff\x00junk", 6), to),
        datagram(kT0 + 3, kSim, "G1,01,0,0,0,0,0,0,0,0,0,0,0,0,", to),
        datagram(kT0 + 4, kSim, "dns", {0x08080808, 53}),
    });
    for (const bool all : {false, true}) {
        std::istringstream in(file);
        ReplayLoad load;
        std::string error;
        ASSERT_TRUE(replay_load(in, load, error)) << error;
        ASSERT_TRUE(replay_choose_sender(load, std::nullopt, all, error)) << error;
        EXPECT_EQ(load.datagrams.size(), all ? 4u : 1u);
        EXPECT_EQ(load.malformed, all ? 0u : 3u);
        EXPECT_EQ(load.other, 1u);
        EXPECT_EQ(load.datagrams.back().payload,
                  all ? "G1,01,0,0,0,0,0,0,0,0,0,0,0,0," : "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,");
    }
}

TEST(Replay, HoldsAFewDatagramsOfAPortUntilItsFirstG1AndCountsTheRest) {
    const UdpAddress late_port{kLimitedBroadcastIp, 50030};
    std::vector<PcapDatagram> ds{datagram(kT0, kSim, "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,")};
    for (std::size_t i = 0; i < kReplayHeldPerPort + 2; ++i)
        ds.push_back(datagram(kT0 + 1, kSim, "early", late_port));
    for (std::size_t i = 0; i < kReplayHeldPerPort + 1; ++i)
        ds.push_back(datagram(kT0 + 2, kSim, "dns", {0x08080808, 53}));
    ds.push_back(datagram(kT0 + 3, kSim, "G1,1,0,0,0,0,0,0,0,0,0,0,0,0,", late_port));
    ds.push_back(datagram(kT0 + 4, kSim, "late", late_port));
    std::istringstream in(g1_file(ds));
    ReplayLoad load;
    std::string error;
    ASSERT_TRUE(replay_load(in, load, error)) << error;
    ASSERT_EQ(load.datagrams.size(), kReplayHeldPerPort + 3);
    EXPECT_EQ(load.datagrams[1].payload, "early");
    EXPECT_EQ(load.datagrams.back().payload, "late");
    EXPECT_TRUE(std::ranges::is_sorted(load.datagrams, {}, &PcapDatagram::time_ns));
    EXPECT_EQ(load.unheld, 2u);
    EXPECT_EQ(load.other, kReplayHeldPerPort + 1);
}

TEST(Replay, ManySendersLoadQuicklyAreListedTwentyAtMostAndCtrlCIsHeardWhileLoading) {
    std::vector<PcapDatagram> ds(3, datagram(kT0, kSim, "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,"));
    for (std::uint32_t i = 0; i < 200'000; ++i)
        ds.push_back(datagram(kT0, {0x0A000000 + i, 1}, "G1"));
    const std::string file = g1_file(ds);
    std::istringstream in(file);
    ReplayLoad load;
    std::string error;
    ASSERT_TRUE(replay_load(in, load, error)) << error;
    EXPECT_FALSE(replay_choose_sender(load, std::nullopt, false, error));
    EXPECT_TRUE(
        error.starts_with("it holds G1 from several senders; choose one with --sender: "
                          "192.168.1.20 (3) 10.0.0.0 (1) 10.0.0.1 (1)"))
        << error.substr(0, 200);
    EXPECT_TRUE(error.ends_with(" 10.0.0.18 (1) and 199981 more")) << error.substr(0, 200);

    std::istringstream again(file);
    int asked = 0;
    EXPECT_FALSE(replay_load(again, load, error, [&] { return ++asked == 3; }));
    EXPECT_EQ(error, "loading it was stopped");
    EXPECT_LT(again.tellg(), static_cast<std::streamoff>(file.size() / 2));
}

TEST(Replay, EachDatagramIsDueAtItsRecordedGapOverTheSpeedPassAfterPass) {
    constexpr std::int64_t ms = 1'000'000;
    struct Case {
        std::vector<std::int64_t> times_ms;
        double speed;
        std::vector<std::int64_t> due_ms;  // for k = 0, 1, ... over two passes
    } cases[] = {
        {{0, 10, 30}, 1.0, {0, 10, 30, 45, 55, 75}},      // next pass one mean gap (15) later
        {{0, 10, 30}, 10.0, {0, 1, 3, 4, 5, 7}},          // 4.5, 5.5 and 7.5 in whole ms
        {{0, 20, 10, 40}, 2.0, {0, 10, 10, 25, 33, 43}},  // a backward gap counts as none
        {{0, 10, 7'200'010}, 1.0, {0, 10, 3'600'010}},    // a gap of two hours plays as one
        {{500}, 1.0, {0, 1000, 2000}},                    // alone: once a second
    };
    for (const Case& c : cases) {
        std::vector<PcapDatagram> ds;
        for (std::int64_t t : c.times_ms) ds.push_back(datagram(kT0 + t * ms, kSim, "G1"));
        const ReplaySchedule s = replay_schedule(ds, c.speed);
        for (std::size_t k = 0; k < c.due_ms.size(); ++k) {
            EXPECT_EQ(replay_due_ns(s, k) / ms, c.due_ms[k]) << "speed " << c.speed << ", k " << k;
        }
    }
    // Recorded all at once, or played at any speed: 50 µs apart, and as far into the next pass.
    const std::vector<PcapDatagram> at_once(1000, datagram(kT0, kSim, "G1"));
    for (const double speed : {1.0, 1e12}) {
        const ReplaySchedule s = replay_schedule(at_once, speed);
        EXPECT_EQ(replay_due_ns(s, 999), 999 * kReplayShortestGapNs) << speed;
        EXPECT_GE(replay_due_ns(s, 1000) - replay_due_ns(s, 999), kReplayShortestGapNs) << speed;
    }
}
