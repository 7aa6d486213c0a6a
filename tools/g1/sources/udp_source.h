// The source of the plug-in's own way: the shared UDP port, bound as every receiver binds it.
#pragma once

#include "tools/g1/sources/source.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Takes up to `capacity` datagrams a wait (1 lets `--count` stop exactly).
bool udp_source_open(std::uint16_t port, std::size_t capacity, G1Source& source,
                     std::string& error);
