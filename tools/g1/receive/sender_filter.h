// Which senders a receiving tool takes datagrams from: `--from ADDR[/PREFIX]`, given any number
// of times. With none given every sender is taken. Applied by the receive step of every G1
// receiver.
#pragma once

#include "tools/common/udp.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// An IPv4 network in host byte order: `ip` holds only the bits the prefix keeps.
struct SenderNetwork {
    std::uint32_t ip = 0;
    std::uint32_t mask = 0;
};

struct SenderFilter {
    std::vector<SenderNetwork> networks;  // empty: every sender
};

// "ADDR" (one host) or "ADDR/PREFIX" (0 to 32 leading bits). ADDR is an IPv4 address in the
// strict a.b.c.d form or a host name, looked up once here; each of its addresses is taken.
bool sender_filter_add(SenderFilter& filter, std::string_view text, std::string& error,
                       UdpLookup lookup = udp_lookup);

bool sender_filter_takes(const SenderFilter& filter, std::uint32_t ip);

// "a.b.c.d/n" for each network, separated by spaces; "every sender" for an empty filter.
std::string sender_filter_text(const SenderFilter& filter);
