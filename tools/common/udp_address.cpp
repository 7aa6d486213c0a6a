// Text form of the tools' IPv4 addresses.
#include "tools/common/udp.h"

std::string udp_address_text(UdpAddress a) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((a.ip >> shift) & 0xFF);
        text += shift > 0 ? '.' : ':';
    }
    return text + std::to_string(a.port);
}
