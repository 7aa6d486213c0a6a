// g1's connection to an MQTT broker: publishing (`g1 publish`) and subscribing (`--broker` of
// listen and serve, each message handed to the same handler as a UDP datagram), both stepped on
// the receiving thread. Both reconnect with backoff by themselves and say why the broker cannot
// be had. The MQTT library stays inside broker_client.cpp; a build without it links
// broker_absent.cpp, whose starts fail with a message.
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

// Starts connecting; the caller's thread keeps the link by `broker_publisher_step`. Closing sends
// what is queued and says goodbye, so the broker keeps no last will of it.
BrokerLinkPtr broker_publisher_start(const BrokerOptions& options, std::string& error);

// How often the publishing thread steps its link, at least.
inline constexpr int kBrokerPublisherStepMs = 20;

// Never waits: takes the outcome of a connection attempt, starts the next one when due (on a
// thread of its own: a host that does not answer holds an attempt for minutes), and lets the
// library read what the broker sent, write what a full socket left and ping.
void broker_publisher_step(BrokerLink& link);

// QoS 0, not retained, queued for `broker_publisher_flush`. False when it could not go out (no
// connection): the caller counts it.
bool broker_publish(BrokerLink& link, const std::string& topic, std::string_view payload);

// Writes what is queued, as few segments as the system allows, on the caller's thread.
void broker_publisher_flush(BrokerLink& link);

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
