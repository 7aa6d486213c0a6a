// The relay's targets and its forwarding, on loopback sockets only.
#include "tools/g1/relay.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

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
        std::size_t length = 0;
        UdpAddress from;
        if (udp_receive(s, buffer, length, from, timeout_ms) != UdpWait::Datagram) {
            return "(nothing)";
        }
        return std::string(buffer.data(), length);
    }
};

struct RelayOnLoopback : Loopback {
    Relay relay;
    UdpAddress relay_port;

    void open(std::vector<UdpAddress> targets) {
        std::string error;
        ASSERT_TRUE(relay_open(relay, 0, std::move(targets), error)) << error;
        relay_port = {kLoopbackIp, udp_local_address(relay.in).port};
    }
    void TearDown() override {
        relay_close(relay);
        Loopback::TearDown();
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
    std::string error;
    EXPECT_TRUE(relay_target_allowed({kLoopbackIp, 50011}, error));
    EXPECT_TRUE(relay_target_allowed({0x0A000005, 50011}, error));
    EXPECT_FALSE(relay_target_allowed({0xFFFFFFFF, 50011}, error));
    EXPECT_FALSE(relay_target_allowed({0xEF010203, 50011}, error));  // 239.1.2.3
    EXPECT_FALSE(relay_target_allowed({0, 50011}, error));
}

TEST_F(RelayOnLoopback, ForwardsEveryDatagramUnchangedToEachTarget) {
    UdpSocket& first = bound();
    UdpSocket& second = bound();
    const UdpSocket& sender = bound();
    open({udp_local_address(first), udp_local_address(second)});
    const std::string datagrams[] = {
        "G1,1500000,0,0,0,-12,0,3141,0,0,0,0,0,0,",
        std::string("\0\xff\x80 not G1 at all\r\n", 19),
        std::string(2000, 'x'),
        "",
    };
    for (const std::string& d : datagrams) {
        ASSERT_TRUE(udp_send(sender, relay_port, d));
        ASSERT_EQ(relay_step(relay, 2000), RelayStep::Forwarded);
        EXPECT_EQ(receive(first), d);
        EXPECT_EQ(receive(second), d);
    }
    EXPECT_EQ(relay.forwarded, 4u);
}

TEST_F(RelayOnLoopback, TargetPointingBackAtTheRelayDoesNotMakeItFeedItself) {
    const UdpSocket& sender = bound();
    open({});
    relay.targets = {relay_port};
    ASSERT_TRUE(udp_send(sender, relay_port, std::string("G1,")));
    ASSERT_EQ(relay_step(relay, 2000), RelayStep::Forwarded);
    EXPECT_EQ(relay_step(relay, 2000), RelayStep::Idle);
    EXPECT_EQ(relay_step(relay, 200), RelayStep::Idle);
    EXPECT_EQ(relay.forwarded, 1u);
    EXPECT_EQ(relay.ignored_own, 1u);
}

TEST_F(RelayOnLoopback, TargetThatIsDownDoesNotStopTheOthers) {
    UdpSocket& alive = bound();
    UdpSocket& gone = bound();
    const UdpAddress gone_address = udp_local_address(gone);
    udp_close(gone);
    const UdpSocket& sender = bound();
    open({gone_address, udp_local_address(alive)});
    for (int i = 0; i < 3; ++i) {
        const std::string d = "G1,datagram " + std::to_string(i);
        ASSERT_TRUE(udp_send(sender, relay_port, d));
        ASSERT_EQ(relay_step(relay, 2000), RelayStep::Forwarded);
        EXPECT_EQ(receive(alive), d);
    }
}
