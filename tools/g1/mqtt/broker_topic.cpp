// The topic rules and the broker's address.
#include "tools/g1/mqtt/broker_topic.h"

#include "tools/common/udp.h"

#include <charconv>

bool broker_prefix_check(std::string_view prefix, std::string& error) {
    const std::string quoted = "topic prefix \"" + std::string(prefix) + "\"";
    if (prefix.empty()) {
        error = "the topic prefix is empty";
        return false;
    }
    if (prefix.size() > kBrokerPrefixMax) {
        error = quoted.substr(0, 40) + "...\" is longer than " + std::to_string(kBrokerPrefixMax) +
                " bytes";
        return false;
    }
    for (char c : prefix) {
        if (c == '+' || c == '#') {
            error = quoted + " holds the wildcard '" + std::string(1, c) + "'";
            return false;
        }
        if (c < 0x20 || c > 0x7E) {
            error = quoted + " holds a byte that is not printable ASCII";
            return false;
        }
    }
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != prefix.npos) {
        error = quoted + " starts or ends with '/' or has an empty level";
        return false;
    }
    if (prefix.front() == '$') {
        error = quoted + " starts with '$', which the broker keeps for its own topics";
        return false;
    }
    return true;
}

std::string broker_topic(std::string_view prefix, std::uint32_t sender_ip, std::string_view leaf) {
    std::string topic(prefix);
    topic += '/';
    topic += udp_ip_text(sender_ip);
    topic += '/';
    topic += leaf;
    return topic;
}

std::string broker_every_sender(std::string_view prefix, std::string_view leaf) {
    return std::string(prefix) + "/+/" + std::string(leaf);
}

bool broker_topic_sender(std::string_view topic, std::string_view prefix, std::string_view leaf,
                         std::uint32_t& sender_ip) {
    if (topic.size() < prefix.size() + leaf.size() + 2 || !topic.starts_with(prefix) ||
        !topic.ends_with(leaf) || topic[prefix.size()] != '/' ||
        topic[topic.size() - leaf.size() - 1] != '/') {
        return false;
    }
    const std::size_t first = prefix.size() + 1;
    return udp_parse_ip(topic.substr(first, topic.size() - leaf.size() - 1 - first), sender_ip);
}

bool broker_parse_address(std::string_view text, std::uint16_t default_port, std::string& host,
                          std::uint16_t& port, std::string& error) {
    const std::size_t colon = text.rfind(':');
    host = std::string(text.substr(0, colon));
    port = default_port;
    if (host.empty() || host.find(':') != host.npos) {
        error = "broker \"" + std::string(text) + "\" is not HOST or HOST:PORT";
        return false;
    }
    if (colon == text.npos) return true;
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
        value > 65535) {
        error = "broker \"" + std::string(text) + "\": port must be 1 to 65535";
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}
