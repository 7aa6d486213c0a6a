// Parsing and matching of the receiving tools' sender networks.
#include "tools/common/sender_filter.h"

#include "tools/common/udp.h"

#include <charconv>

namespace {

constexpr unsigned kAddressBits = 32;

std::uint32_t mask_of(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - prefix);
}

bool is_dotted_quad_text(std::string_view s) {
    return s.find_first_not_of("0123456789.") == std::string_view::npos;
}

// Four decimal parts of 0 to 255, no leading zeros (which some parsers read as octal).
bool parse_dotted_quad(std::string_view s, std::uint32_t& ip) {
    ip = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part < 3 ? s.find('.') : s.size();
        if (end == std::string_view::npos || end == 0 || end > 3 || (end > 1 && s[0] == '0')) {
            return false;
        }
        unsigned value = 0;
        const auto [stop, ec] = std::from_chars(s.data(), s.data() + end, value);
        if (ec != std::errc() || stop != s.data() + end || value > 255) return false;
        ip = ip << 8 | value;
        s.remove_prefix(part < 3 ? end + 1 : end);
    }
    return s.empty();
}

}  // namespace

bool sender_filter_add(SenderFilter& filter, std::string_view text, std::string& error) {
    const std::size_t slash = text.find('/');
    const std::string_view host = text.substr(0, slash);
    unsigned prefix = kAddressBits;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
            prefix > kAddressBits) {
            error = "sender \"" + std::string(text) + "\": the prefix must be 0 to 32";
            return false;
        }
    }
    std::uint32_t ip = 0;
    if (host.empty()) {
        error = "sender \"" + std::string(text) + "\" is not ADDR or ADDR/PREFIX";
        return false;
    }
    if (is_dotted_quad_text(host)) {
        if (!parse_dotted_quad(host, ip)) {
            error = "sender \"" + std::string(text) + "\" is no IPv4 address";
            return false;
        }
    } else if (!udp_resolve(std::string(host), ip, error)) {
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
        text += udp_ip_text(n.ip);
        text += '/';
        text += std::to_string(prefix);
    }
    return text;
}
