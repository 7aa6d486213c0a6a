// Parsing and matching of the sender filter.
#include "tools/common/sender_filter.h"

#include "tools/common/udp.h"

#include <charconv>

namespace {

constexpr unsigned kAddressBits = 32;

// A decimal number from 0 to `largest`, with no sign and no leading zero (which some parsers
// read as octal).
bool parse_number(std::string_view text, unsigned largest, unsigned& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value <= largest;
}

bool parse_dotted_quad(std::string_view text, std::uint32_t& ip) {
    ip = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        unsigned value = 0;
        if (dot == std::string_view::npos || !parse_number(text.substr(0, dot), 255, value)) {
            return false;
        }
        ip = ip << 8 | value;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return true;
}

bool looks_dotted(std::string_view text) {
    return text.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::uint32_t mask_of(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - prefix);
}

std::string ip_text(std::uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string(ip >> 16 & 0xFF) + "." +
           std::to_string(ip >> 8 & 0xFF) + "." + std::to_string(ip & 0xFF);
}

}  // namespace

bool sender_filter_add(SenderFilter& filter, std::string_view text, std::string& error) {
    const std::size_t slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    unsigned prefix = kAddressBits;
    if (slash != std::string_view::npos &&
        !parse_number(text.substr(slash + 1), kAddressBits, prefix)) {
        error = "sender \"" + std::string(text) + "\": the prefix must be 0 to 32";
        return false;
    }
    std::uint32_t ip = 0;
    if (host.empty() || (looks_dotted(host) && !parse_dotted_quad(host, ip))) {
        error = "sender \"" + std::string(text) + "\" is not ADDR or ADDR/PREFIX";
        return false;
    }
    if (!looks_dotted(host) && !udp_resolve(std::string(host), ip, error)) {
        return false;
    }
    const std::uint32_t mask = mask_of(prefix);
    filter.networks.push_back({ip & mask, mask});
    return true;
}

bool sender_filter_takes(const SenderFilter& filter, std::uint32_t ip) {
    if (filter.networks.empty()) return true;
    for (const SenderNetwork& n : filter.networks) {
        if ((ip & n.mask) == n.ip) return true;
    }
    return false;
}

std::string sender_filter_text(const SenderFilter& filter) {
    if (filter.networks.empty()) return "every sender";
    std::string text;
    for (const SenderNetwork& n : filter.networks) {
        unsigned prefix = 0;
        for (std::uint32_t m = n.mask; m != 0; m <<= 1) ++prefix;
        if (!text.empty()) text += ' ';
        text += ip_text(n.ip) + "/" + std::to_string(prefix);
    }
    return text;
}
