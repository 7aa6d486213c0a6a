// Text forms of the tools' IPv4 addresses: the strict parser, host names and printing.
#include "tools/common/udp.h"

#include <charconv>

namespace {

// A number as the C library's address parser reads one part: decimal, octal or 0x hex.
bool is_integer_literal(std::string_view s) {
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        return s.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string_view::npos;
    }
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Text that the system resolver would read as an address, not look up as a name: no host
// name's last label is a number.
bool is_numeric_form(std::string_view s) {
    if (s.ends_with('.')) s.remove_suffix(1);
    const std::size_t dot = s.rfind('.');
    return is_integer_literal(dot == std::string_view::npos ? s : s.substr(dot + 1));
}

}  // namespace

bool udp_parse_ip(std::string_view s, std::uint32_t& ip) {
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

bool udp_resolve_all(const std::string& host, std::vector<std::uint32_t>& ips, std::string& error,
                     UdpLookup lookup) {
    std::uint32_t ip = 0;
    if (udp_parse_ip(host, ip)) {
        ips.push_back(ip);
        return true;
    }
    if (host.empty() || is_numeric_form(host)) {
        error = "\"" + host +
                "\" is no IPv4 address of the form a.b.c.d (0 to 255 each, no "
                "leading zeros) and no host name";
        return false;
    }
    return lookup(host, ips, error);
}

bool udp_resolve(const std::string& host, std::uint32_t& ip, std::string& error) {
    std::vector<std::uint32_t> ips;
    if (!udp_resolve_all(host, ips, error)) return false;
    ip = ips.front();
    return true;
}

std::string udp_ip_text(std::uint32_t ip) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((ip >> shift) & 0xFF);
        if (shift > 0) text += '.';
    }
    return text;
}

std::string udp_address_text(UdpAddress a) {
    return udp_ip_text(a.ip) + ":" + std::to_string(a.port);
}
