// The topics of g1's broker options, as pure rules: which prefixes are allowed, the topic of a
// sender's datagram, status and values, the sender a topic names, and the broker's address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kBrokerDefaultPrefix = "tessel";
inline constexpr std::uint16_t kBrokerPort = 1883;     // MQTT without TLS
inline constexpr std::uint16_t kBrokerTlsPort = 8883;  // MQTT over TLS
inline constexpr std::size_t kBrokerPrefixMax =
    200;  // bytes; whole topics stay far below MQTT's limit

// The last level of a sender's topics, besides the field names of the field table.
inline constexpr std::string_view kBrokerDatagramLeaf = "g1";
inline constexpr std::string_view kBrokerStatusLeaf = "status";
inline constexpr std::string_view kBrokerOnline = "online";
inline constexpr std::string_view kBrokerOffline = "offline";

// A prefix is one or more levels of printable ASCII: not empty, none of the wildcards + and #,
// no leading or trailing '/', no empty level, and no leading '$' (the broker's own topics).
bool broker_prefix_check(std::string_view prefix, std::string& error);

// "PREFIX/a.b.c.d/LEAF".
std::string broker_topic(std::string_view prefix, std::uint32_t sender_ip, std::string_view leaf);

// "PREFIX/+/LEAF": every sender's topic of that leaf.
std::string broker_every_sender(std::string_view prefix, std::string_view leaf);

// The sender that `topic` names as PREFIX/a.b.c.d/LEAF, strict a.b.c.d only; false for any other
// topic.
bool broker_topic_sender(std::string_view topic, std::string_view prefix, std::string_view leaf,
                         std::uint32_t& sender_ip);

// HOST or HOST:PORT; without a port, `default_port`.
bool broker_parse_address(std::string_view text, std::uint16_t default_port, std::string& host,
                          std::uint16_t& port, std::string& error);
