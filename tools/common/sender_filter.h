// Which senders a receiving tool takes datagrams from: `--from ADDR[/PREFIX]`, given any number
// of times; with none given every sender is taken. Datagrams from anyone else are counted and
// otherwise ignored.
#pragma once

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

// "ADDR" (that host alone) or "ADDR/PREFIX" (0 to 32 leading bits; host bits are cleared, so
// 192.168.1.7/24 names 192.168.1.0/24). ADDR is a dotted IPv4 address or a host name, resolved
// once here (after udp_startup).
bool sender_filter_add(SenderFilter& filter, std::string_view text, std::string& error);

bool sender_filter_takes(const SenderFilter& filter, std::uint32_t ip);

// "a.b.c.d/N" for each network, separated by spaces; "every sender" for an empty filter.
std::string sender_filter_text(const SenderFilter& filter);
