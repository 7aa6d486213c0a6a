// Parsing and matching of the sender filter; dotted IPv4 only, no name resolution.
#include "tools/common/sender_filter.h"

#include <charconv>

namespace {

constexpr unsigned kLongestPrefix = 32;

// A decimal number from 0 to `largest`, with no sign and no leading zero.
bool parse_number(std::string_view text, unsigned largest, unsigned& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value <= largest;
}

bool parse_ip(std::string_view text, std::uint32_t& ip) {
    ip = 0;
    for (int octet = 0; octet < 4; ++octet) {
        const std::size_t dot = octet < 3 ? text.find('.') : text.size();
        unsigned value = 0;
        if (dot == std::string_view::npos || !parse_number(text.substr(0, dot), 255, value)) {
            return false;
        }
        ip = ip << 8 | value;
        text.remove_prefix(octet < 3 ? dot + 1 : dot);
    }
    return true;
}

std::uint32_t mask_of(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (kLongestPrefix - prefix);
}

std::string ip_text(std::uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 0xFF) + "." +
           std::to_string(ip >> 8 & 0xFF) + "." + std::to_string(ip & 0xFF);
}

}  // namespace

bool sender_filter_parse(std::string_view text, SenderFilter& filter, std::string& error) {
    const std::size_t slash = text.find('/');
    std::uint32_t ip = 0;
    unsigned prefix = kLongestPrefix;
    if (!parse_ip(text.substr(0, slash), ip) ||
        (slash != std::string_view::npos &&
         !parse_number(text.substr(slash + 1), kLongestPrefix, prefix))) {
        error = "sender \"" + std::string(text) +
                "\" is not an IPv4 address a.b.c.d or a network a.b.c.d/N (N from 0 to 32)";
        return false;
    }
    filter.mask = mask_of(prefix);
    filter.network = ip & filter.mask;
    return true;
}

bool sender_filter_allows(const SenderFilter& filter, std::uint32_t ip) {
    return (ip & filter.mask) == filter.network;
}

std::string sender_filter_text(const SenderFilter& filter) {
    if (filter.mask == 0) return "any sender";
    unsigned prefix = 0;
    for (std::uint32_t m = filter.mask; m != 0; m <<= 1) ++prefix;
    return ip_text(filter.network) + "/" + std::to_string(prefix);
}
