// Text form of the tools' IPv4 addresses.
#include "tools/common/udp.h"

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
