// Which senders a receiver takes datagrams from (`--from ADDR[/PREFIX]`): one IPv4 address or
// one network. Datagrams from anyone else are counted and otherwise ignored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Host byte order, as UdpAddress. A mask of 0 takes every sender.
struct SenderFilter {
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
};

// "a.b.c.d" (that address alone) or "a.b.c.d/N" with N from 0 to 32; host bits are cleared,
// so 192.168.1.7/24 names 192.168.1.0/24.
bool sender_filter_parse(std::string_view text, SenderFilter& filter, std::string& error);

bool sender_filter_allows(const SenderFilter& filter, std::uint32_t ip);

// "a.b.c.d/N", or "any sender" for the filter that takes everyone.
std::string sender_filter_text(const SenderFilter& filter);
