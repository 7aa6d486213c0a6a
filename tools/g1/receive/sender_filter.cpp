// Parsing and matching of the receiving tools' sender networks.
#include "tools/g1/receive/sender_filter.h"

#include "tools/common/udp.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr unsigned kAddressBits = 32;

std::uint32_t mask_of(unsigned prefix) {
    return prefix == 0 ? 0 : ~std::uint32_t{0} << (kAddressBits - prefix);
}

}  // namespace

bool sender_filter_add(SenderFilter& filter, std::string_view text, std::string& error,
                       UdpLookup lookup) {
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
    if (host.empty()) {
        error = "sender \"" + std::string(text) + "\" is not ADDR or ADDR/PREFIX";
        return false;
    }
    std::vector<std::uint32_t> ips;
    if (!udp_resolve_all(std::string(host), ips, error, lookup)) {
        error = "sender " + error;
        return false;
    }
    const std::uint32_t mask = mask_of(prefix);
    for (const std::uint32_t ip : ips) {
        const SenderNetwork network{ip & mask, mask};
        const bool known = std::any_of(
            filter.networks.begin(), filter.networks.end(),
            [&](const SenderNetwork& n) { return n.ip == network.ip && n.mask == network.mask; });
        if (!known) filter.networks.push_back(network);
    }
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
