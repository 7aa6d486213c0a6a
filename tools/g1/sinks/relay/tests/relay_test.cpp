// The relay's targets, what it sends on and what it ignores, and its forwarding on loopback.
#include "tools/g1/sinks/relay/relay.h"

#include "plugin/telemetry/g1_datagram.h"
#include "tools/g1/sinks/relay/tests/test_broadcast.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kRelayExample = "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,";
constexpr UdpAddress kOwn = {kLoopbackIp, 40000};
constexpr std::uint32_t kSimulator = 0x0A000005;  // 10.0.0.5

UdpDatagram arrival(UdpAddress from, bool broadcast, std::string_view bytes) {
    return {bytes.size(), from, broadcast};
}

struct Loopback : ::testing::Test {
    std::deque<UdpSocket> sockets;  // references stay valid as it grows

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(udp_startup(error)) << error;
    }
    void TearDown() override {
        for (UdpSocket& s : sockets) udp_close(s);
        udp_cleanup();
    }

    // A socket on 127.0.0.1 with a port the system picks.
    UdpSocket& bound() {
        std::string error;
        UdpSocket s;
        EXPECT_TRUE(udp_open({kLoopbackIp, 0}, false, s, error)) << error;
        return sockets.emplace_back(s);
    }

    static std::string receive(const UdpSocket& s, int timeout_ms = 2000) {
        std::vector<char> buffer(65536);
        UdpDatagram got;
        if (udp_receive(s, buffer, got, timeout_ms) != UdpWait::Datagram) {
            return "(nothing)";
        }
        return std::string(buffer.data(), got.length);
    }
};

struct RelayOnLoopback : Loopback {
    Relay relay;
    ReceiveSocket in;
    std::uint16_t port = 0;

    bool open_on(std::uint16_t at, std::vector<UdpAddress> targets, std::uint32_t rate,
                 std::uint32_t total, std::string& error) {
        receive_close(in);
        if (!receive_open(in, at, kUdpBatchMax, error)) return false;
        port = udp_local_address(in.socket).port;
        const auto receive = [this](int timeout_ms, const ReceiveHandler& handle) {
            return receive_wait(in, timeout_ms, handle);
        };
        return relay_open(relay, receive, true, std::move(targets), {}, rate, total, error);
    }

    // The caps at their highest: a sender first heard has one datagram's allowance, and these
    // send the next one within a millisecond.
    void open(std::vector<UdpAddress> targets) {
        std::string error;
        ASSERT_TRUE(open_on(0, std::move(targets), kSenderRateMax, kSenderRateMax, error)) << error;
    }
    // Steps until the relay has taken `datagrams` in all.
    void take(std::uint64_t datagrams) {
        for (int i = 0; i < 20 && taken() < datagrams; ++i) {
            ASSERT_NE(relay_step(relay, 100), RelayStep::Failed);
        }
        ASSERT_EQ(taken(), datagrams);
    }
    std::uint64_t taken() const {
        const RelayCounts& c = relay.counts;
        const ReceiveCounts& r = relay.receiver.counts;
        return c.forwarded + r.malformed + r.not_broadcast + c.own + r.other_senders + c.over_rate +
               c.over_total;
    }
    void TearDown() override {
        relay_close(relay);
        receive_close(in);
        Loopback::TearDown();
    }
};

struct RelayOnLoopbackBroadcast : RelayOnLoopback {
    void SetUp() override {
        if (!test_broadcast_possible()) {
            GTEST_SKIP() << "no broadcast that stays on this machine outside the sandbox";
        }
        RelayOnLoopback::SetUp();
    }
};

}  // namespace

TEST(RelayTarget, ParsesHostAndPort) {
    std::string host, error;
    std::uint16_t port = 0;
    ASSERT_TRUE(relay_parse_target("tablet.local:50011", host, port, error)) << error;
    EXPECT_EQ(host, "tablet.local");
    EXPECT_EQ(port, 50011);
}

TEST(RelayTarget, RefusesWhatIsNotHostAndPort) {
    std::string host, error;
    std::uint16_t port = 0;
    for (const char* bad : {"127.0.0.1", ":50010", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                            "127.0.0.1:50o10", "127.0.0.1:-1"}) {
        EXPECT_FALSE(relay_parse_target(bad, host, port, error)) << bad;
    }
}

TEST(RelayTarget, AllowsUnicastOnly) {
    const UdpInterface interfaces[] = {
        {kLoopbackIp, 0xFF000000},  // 127.0.0.1/8
        {0xC0A8010A, 0xFFFFFF00},   // 192.168.1.10/24
        {0x0A000001, 0xFFFFFFFE},   // 10.0.0.1/31: no broadcast address
    };
    const struct {
        std::uint32_t ip;
        bool allowed;
    } rows[] = {
        {kLoopbackIp, true}, {0x0A000005, true},  {0xC0A801FE, true},   // 192.168.1.254
        {0x0A000001, true},  {0xFFFFFFFF, false}, {0xEF010203, false},  // 239.1.2.3
        {0, false},          {0xC0A801FF, false},                       // 192.168.1.255
        {0x7FFFFFFF, false},                                            // 127.255.255.255
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_EQ(relay_target_allowed({row.ip, 50011}, interfaces, error), row.allowed)
            << udp_ip_text(row.ip);
        EXPECT_EQ(error.empty(), row.allowed) << error;
    }
    std::string error;
    relay_target_allowed({0xC0A801FF, 50011}, interfaces, error);
    EXPECT_EQ(error,
              "target 192.168.1.255:50011 is the broadcast address of the network of "
              "192.168.1.10; the relay sends to unicast targets");
}

TEST(RelayJudge, SendsOnOnlyBroadcastsThatAreG1) {
    Relay relay;
    const auto judge = [&](bool broadcast, std::string_view bytes) {
        return relay_judge(relay, arrival({kSimulator, 52000}, broadcast, bytes), bytes, 0);
    };
    EXPECT_EQ(judge(true, kRelayExample), RelayVerdict::Forward);
    EXPECT_EQ(judge(false, kRelayExample), RelayVerdict::NotBroadcast);
    const std::string not_g1[] = {"", std::string("\0\xff\x80 not G1\r\n", 13),
                                  "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0",
                                  std::string(kG1MaxLength + 1, '1')};
    for (const std::string& bytes : not_g1) {
        EXPECT_EQ(judge(true, bytes), RelayVerdict::NotG1) << bytes;
    }
}

TEST(RelayJudge, OwnCopiesAreKnownByAddressAndPortTogether) {
    Relay relay;
    relay.own = {kOwn};
    const auto judge = [&](UdpAddress from) {
        return relay_judge(relay, arrival(from, true, kRelayExample), kRelayExample, 0);
    };
    EXPECT_EQ(judge(kOwn), RelayVerdict::Own);
    EXPECT_EQ(judge({kSimulator, kOwn.port}), RelayVerdict::Forward);  // same port, other host
    EXPECT_EQ(judge({kOwn.ip, 40001}), RelayVerdict::Forward);
}

TEST(RelayJudge, SendersOutsideFromAreIgnored) {
    Relay relay;
    std::string error;
    ASSERT_TRUE(sender_filter_add(relay.receiver.from, "10.0.0.0/29", error)) << error;
    const auto judge = [&](std::uint32_t ip) {
        return relay_judge(relay, arrival({ip, 52000}, true, kRelayExample), kRelayExample, 0);
    };
    EXPECT_EQ(judge(kSimulator), RelayVerdict::Forward);
    EXPECT_EQ(judge(0x0A000008), RelayVerdict::OtherSender);  // 10.0.0.8
}

TEST(RelayJudge, EachSenderIsCappedAtTheRateAfterABurstOfATenthOfASecond) {
    Relay relay;
    relay.rates.per_second = 1000;  // bursts of 100
    constexpr std::int64_t kMs = 1'000'000;
    const auto forwarded = [&](std::uint32_t ip, int datagrams, std::int64_t now_ns) {
        int n = 0;
        for (int i = 0; i < datagrams; ++i) {
            const UdpDatagram d = arrival({ip, 52000}, true, kRelayExample);
            n += relay_judge(relay, d, kRelayExample, now_ns) == RelayVerdict::Forward;
        }
        return n;
    };
    const struct {
        std::uint32_t ip;
        int sent;
        std::int64_t at_ns;
        int forwarded;
    } rows[] = {
        {kSimulator, 150, 0, 1},                // first heard: one datagram's allowance
        {kSimulator, 10, 5 * kMs, 5},           // 5 ms bring 5
        {0x0A000006, 100, 5 * kMs, 1},          // another sender has its own bucket
        {0x0A000006, 100, 50 * kMs, 45},        // filled at the rate
        {kSimulator, 300, 10'000 * kMs, 100},   // a long quiet refills only the burst
        {kSimulator, 1000, 10'500 * kMs, 100},  // half a second: the rate, no more than a burst
    };
    for (const auto& row : rows) {
        EXPECT_EQ(forwarded(row.ip, row.sent, row.at_ns), row.forwarded) << row.at_ns;
    }
    // A sender heard at most once a millisecond is never held back.
    for (std::int64_t t = 20'000; t < 22'000; ++t) {
        ASSERT_EQ(forwarded(0x0A000007, 1, t * kMs), 1) << t;
    }
}

TEST(RelayJudge, SendersRotatingTheirAddressesGetNoMoreThanTheTotalCap) {
    Relay relay;  // the default caps: 1000 a second from one sender, 4000 from all
    constexpr int kAddresses = 200;         // more than the table holds: each one evicts another
    constexpr std::int64_t kGapNs = 7'000;  // about 142,000 datagrams a second
    constexpr std::int64_t kRunNs = 3'000'000'000;
    std::uint64_t forwarded = 0;
    for (std::int64_t t = 0, i = 0; t < kRunNs; t += kGapNs, ++i) {
        const UdpDatagram d = arrival(
            {0x7F000100 + static_cast<std::uint32_t>(i % kAddresses), 52000}, true, kRelayExample);
        forwarded += relay_judge(relay, d, kRelayExample, t) == RelayVerdict::Forward;
    }
    EXPECT_LE(forwarded, 3 * 4000 + 400u);  // three seconds' worth and one burst
    EXPECT_GE(forwarded, 3 * 4000u);
}

TEST(RelaySummary, ShowsEveryKindOfIgnoredDatagram) {
    Relay relay;
    relay.targets = {{kLoopbackIp, 50011}};
    relay.counts = {7, 3, 6, 9, 5};
    relay.receiver.counts = {8, 1, 4, 2};
    EXPECT_EQ(relay_summary(relay),
              "forwarded 7 datagrams to 1 targets, 5 sends failed; ignored 1 not G1, 2 not "
              "broadcast, 3 own copies, 4 from other senders; dropped 6 above 1000 a second "
              "from one sender (--max-rate), 9 above 4000 a second from all senders "
              "(--max-total-rate)\n");
}

TEST_F(RelayOnLoopback, DatagramSentToTheRelayItselfIsNotSentOn) {
    UdpSocket& target = bound();
    const UdpSocket& sender = bound();
    open({udp_local_address(target)});
    ASSERT_TRUE(udp_send(sender, {kLoopbackIp, port}, kRelayExample));
    take(1);
    EXPECT_EQ(relay.receiver.counts.not_broadcast, 1u);
    EXPECT_EQ(receive(target, 200), "(nothing)");
}

TEST_F(RelayOnLoopbackBroadcast, SendsEachG1BroadcastUnchangedToEveryTarget) {
    UdpSocket& first = bound();
    UdpSocket& second = bound();
    open({udp_local_address(first), udp_local_address(second)});
    const std::string g1[] = {std::string(kRelayExample), "G1,0,0,0,0,0,0,0,0,0,0,0,0,0,"};
    for (const std::string& d : g1) {
        ASSERT_TRUE(test_broadcast_send(port, d));
        ASSERT_TRUE(test_broadcast_send(port, "G1," + std::string(2000, '7')));  // cut, refused
        take(relay.counts.forwarded + relay.receiver.counts.malformed + 2);
        EXPECT_EQ(receive(first), d);
        EXPECT_EQ(receive(second), d);
    }
    EXPECT_EQ(relay.counts.forwarded, 2u);
    EXPECT_EQ(relay.receiver.counts.malformed, 2u);
    EXPECT_EQ(receive(first, 200), "(nothing)");
}

TEST_F(RelayOnLoopbackBroadcast, TargetPointingBackAtTheRelayDoesNotMakeItFeedItself) {
    open({});
    relay_close(relay);
    std::string error;
    ASSERT_TRUE(open_on(port, {{kLoopbackIp, port}}, kSenderRateDefault, kTotalRateDefault, error))
        << error;
    ASSERT_TRUE(test_broadcast_send(port, kRelayExample));
    take(2);  // the broadcast, then the relay's own copy
    EXPECT_EQ(relay_step(relay, 200), RelayStep::Idle);
    EXPECT_EQ(relay.counts.forwarded, 1u);
    EXPECT_EQ(relay.counts.own, 1u);
}

TEST_F(RelayOnLoopbackBroadcast, TargetThatIsDownDoesNotStopTheOthers) {
    UdpSocket& alive = bound();
    UdpSocket& gone = bound();
    const UdpAddress gone_address = udp_local_address(gone);
    udp_close(gone);
    open({gone_address, udp_local_address(alive)});
    for (std::uint64_t i = 0; i < 3; ++i) {
        const std::string d = "G1," + std::to_string(i) + ",0,0,0,0,0,0,0,0,0,0,0,0,";
        ASSERT_TRUE(test_broadcast_send(port, d));
        take(i + 1);
        EXPECT_EQ(receive(alive), d);
    }
    EXPECT_EQ(relay.counts.forwarded, 3u);
}
