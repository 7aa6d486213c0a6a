// g1's connection to an MQTT broker: publishing (`g1 publish`) and subscribing (`--broker` of
// listen and serve, each message handed to the same handler as a UDP datagram), both stepped on
// the receiving thread, each connection attempt on a thread of its own (a host that does not
// answer holds one for minutes). Both reconnect with backoff by themselves and say why the broker
// cannot be had. The MQTT library stays inside broker_client.cpp; a build without it links
// broker_absent.cpp, whose starts fail with a message.
#pragma once

#include "tools/g1/mqtt/broker_topic.h"
#include "tools/g1/receive/receive.h"

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

// What a publisher's messages are, for its counts (a status is not counted).
enum class BrokerMessage { Datagram, Value, Status };

// A publisher's messages so far: written to the broker's connection, by kind, and dropped (no
// connection to take them, or still queued when the connection was lost or g1 closed).
struct BrokerCounts {
    std::uint64_t datagrams = 0;
    std::uint64_t values = 0;
    std::uint64_t dropped = 0;
    std::uint64_t reconnects = 0;
};

// QoS 0, not retained, queued for `broker_publisher_flush`; counted when written or dropped.
void broker_publish(BrokerLink& link, const std::string& topic, std::string_view payload,
                    BrokerMessage kind);

// Writes what is queued, as few segments as the system allows, on the caller's thread.
void broker_publisher_flush(BrokerLink& link);

// Whether the link is connected now: a publisher of a recording or a scenario, which lose
// nothing by waiting, starts them once it is, rather than dropping their first datagrams.
bool broker_connected(const BrokerLink& link);

// Closes the link as its deleter does and says what became of its messages.
BrokerCounts broker_publisher_stop(BrokerLinkPtr link);

// A sender's retained PREFIX/SENDER/status: "online" now and after every reconnection, "offline"
// by `broker_sender_gone` and by the broker itself, as the last will of a connection of the
// sender's own, when g1 goes away without saying so (a will is one per connection).
// `broker_sender_forget` removes the retained status (an empty retained message), so the broker
// keeps none of a sender g1 no longer follows. A status connection is opened only while the main
// one is up (one opened towards a broker that is away may never connect): false, try again later.
bool broker_sender_online(BrokerLink& link, std::uint32_t sender_ip);
void broker_sender_gone(BrokerLink& link, std::uint32_t sender_ip);
void broker_sender_forget(BrokerLink& link, std::uint32_t sender_ip);

// The largest MQTT packet a subscriber takes: a PUBLISH of the longest G1 datagram on the longest
// topic, with room for a few properties. It connects with MQTT 5 and tells the broker so, and the
// broker drops anything larger (a 3.1.1-only broker is said once: it sends messages of any size).
std::uint32_t broker_subscriber_packet_max();

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
