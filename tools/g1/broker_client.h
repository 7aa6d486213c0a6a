// g1's connection to an MQTT broker: publishing (`g1 publish`, stepped on a thread of its own) and
// subscribing (`--broker` of listen and serve, stepped on the receiving thread, each message
// handed to the same handler as a UDP datagram). Both reconnect with backoff by themselves and
// say why the broker cannot be had. The MQTT library stays inside broker_client.cpp; a build
// without it links broker_absent.cpp, whose starts fail with a message.
#pragma once

#include "tools/g1/broker_topic.h"
#include "tools/g1/receive.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct BrokerOptions {
    std::string command;  // what messages start with: "g1 publish"
    std::string host;
    std::uint16_t port = kBrokerPort;
    std::string prefix{kBrokerDefaultPrefix};
    std::string username;  // empty: none
    std::string password;  // only with a username
    std::string cafile;    // TLS, the broker's certificate checked against this CA; empty: no TLS
};

// One connection to the broker and its reconnection.
struct BrokerLink;
struct BrokerLinkClose {
    void operator()(BrokerLink* link) const;
};
using BrokerLinkPtr = std::unique_ptr<BrokerLink, BrokerLinkClose>;

// Connects on a thread of its own, which keeps reconnecting until the link is closed; closing
// sends what is queued and says goodbye, so the broker keeps no last will of it.
BrokerLinkPtr broker_publisher_start(const BrokerOptions& options, std::string& error);

// QoS 0, not retained. False when it could not go out (no connection): the caller counts it.
bool broker_publish(BrokerLink& link, const std::string& topic, std::string_view payload);

// A sender's retained PREFIX/SENDER/status: "online" now and after every reconnection, "offline"
// by `broker_sender_gone` and by the broker itself, as the last will of a connection of the
// sender's own, when g1 goes away without saying so (a will is one per connection).
void broker_sender_online(BrokerLink& link, std::uint32_t sender_ip);
void broker_sender_gone(BrokerLink& link, std::uint32_t sender_ip);

// Subscribes to PREFIX/+/g1; the connection is made and kept by `broker_wait`.
BrokerLinkPtr broker_subscriber_start(const BrokerOptions& options, std::string& error);

// One wait of at most `timeout_ms` on the caller's thread: each message that came goes to `handle`
// as a datagram from the sender its topic names. Never fails: a lost broker is reconnected.
UdpWait broker_wait(BrokerLink& link, int timeout_ms, const ReceiveHandler& handle);

// Connections made after the first one.
std::uint64_t broker_reconnects(const BrokerLink& link);

// Messages on PREFIX/+/g1 whose middle level is no sender's address (a.b.c.d).
std::uint64_t broker_unnamed(const BrokerLink& link);

// Why the broker refused this client for good (its credentials, most often), or empty. Retrying
// would not help: the caller stops.
std::string broker_refusal(BrokerLink& link);
