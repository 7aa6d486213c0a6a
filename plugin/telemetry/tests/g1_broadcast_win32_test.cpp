// The G1 datagram on the wire: what the plug-in broadcasts for the frames it is given.
#include "testing/broadcast_sockets_win32.h"
#include "testing/monitor_window_win32.h"
#include "testing/plugin_under_test_win32.h"
#include "testing/worked_example.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct G1Broadcast : ::testing::Test {
    WinsockSession winsock;
    DatagramReceiver receiver;
    PluginBinding plugin = plugin_load();

    void SetUp() override {
        ASSERT_TRUE(receiver.bound()) << "cannot bind 0.0.0.0:" << kG1Port;
        ASSERT_NE(plugin.module, nullptr);
    }
    void TearDown() override { plugin_unbind(plugin); }
};

}  // namespace

TEST_F(G1Broadcast, WorkedExampleArrivesByteForByte) {
    send_frame(plugin, worked_example_frame());
    const auto datagram = receiver.receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(*datagram, kWorkedExampleDatagram);
}

TEST_F(G1Broadcast, FrameWithoutRecordsSendsNothing) {
    StreamBuilder empty;
    send_frame(plugin, empty);
    EXPECT_FALSE(receiver.receive(300).has_value());
}

TEST_F(G1Broadcast, EveryFrameWithRecordsSendsOneDatagram) {
    const StreamBuilder b = worked_example_frame();
    constexpr int kFrames = 50;
    for (int i = 0; i < kFrames; ++i) {
        send_frame(plugin, b);
    }
    EXPECT_EQ(receiver.drain(), kFrames);
}

TEST_F(G1Broadcast, DatagramsGoOnAfterShutdownAndANewInit) {
    ASSERT_TRUE(plugin.init(nullptr));
    send_frame(plugin, worked_example_frame());
    plugin.shutdown();  // closes the socket
    send_frame(plugin, worked_example_frame());
    ASSERT_TRUE(plugin.init(nullptr));
    send_frame(plugin, worked_example_frame());
    plugin.shutdown();
    EXPECT_EQ(receiver.drain(), 3);
}

// A child process that the host starts with inherited handles must not get the socket.
TEST_F(G1Broadcast, SocketIsNotInherited) {
    const auto before = find_broadcast_sockets();
    send_frame(plugin, worked_example_frame());
    ASSERT_TRUE(receiver.receive().has_value());
    const auto after = find_broadcast_sockets();
    ASSERT_EQ(after.size(), before.size() + 1) << "the plug-in's socket was not found";
    for (const BroadcastSocket& s : after) {
        EXPECT_FALSE(s.inheritable) << "socket on port " << s.local_port;
    }
}

constexpr int kRecoveryMs = 5000;  // a new socket is due a second after the sends began failing

// The socket dies under the plug-in: closed, and its handle taken by a socket of the IPv6 family
// only, which reaches no IPv4 address, so that every send fails with a network error as a dead
// socket's do. After a second of that the plug-in makes a new one (and closes this one).
TEST_F(G1Broadcast, SocketThatDiesUnderThePluginIsMadeAnew) {
    const auto before = find_broadcast_sockets();
    send_frame(plugin, worked_example_frame());
    ASSERT_TRUE(receiver.receive().has_value());
    const auto after = find_broadcast_sockets();
    ASSERT_EQ(after.size(), before.size() + 1) << "the plug-in's socket was not found";
    const SOCKET own = std::find_if(after.begin(), after.end(), [&](const BroadcastSocket& a) {
                           return std::none_of(before.begin(), before.end(),
                                               [&](auto& b) { return b.socket == a.socket; });
                       })->socket;
    ::closesocket(own);
    ASSERT_EQ(::socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP), own) << "the handle was not taken";
    send_frame(plugin, worked_example_frame());
    ASSERT_FALSE(receiver.receive(0).has_value()) << "the dead socket still sends";
    EXPECT_TRUE(wait_until(kRecoveryMs,
                           [&] {
                               send_frame(plugin, worked_example_frame());
                               return receiver.receive(0).has_value();
                           }))
        << "no datagram " << kRecoveryMs << " ms after the socket died";
}

TEST(G1BroadcastWithoutWinsock, DatagramsStartOnceTheHostInitialisesWinsock) {
    PluginBinding plugin = plugin_load();
    ASSERT_NE(plugin.module, nullptr);
    send_frame(plugin, worked_example_frame());  // socket() fails: this frame's datagram is lost
    WinsockSession winsock;
    DatagramReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    send_frame(plugin, worked_example_frame());
    EXPECT_EQ(receiver.receive().value_or(""), kWorkedExampleDatagram);
    plugin_unbind(plugin);
}
