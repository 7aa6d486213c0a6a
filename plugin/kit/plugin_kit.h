// The kit's lifecycle without the platform: what its four exports do with the author's
// functions (tessel_plugin.h), tested natively. One PluginKit lives from load to unload.
#pragma once

#include "plugin/host/message_record.h"
#include "plugin/kit/tessel_plugin.h"

#include <cstdint>
#include <span>
#include <vector>

struct PluginKit {
    TesselPlugin plugin{};               // the author's functions, from the last Init
    bool running = false;                // between a successful Init and Shutdown
    std::uint64_t frames = 0;            // frames handed to the author since Init
    std::vector<MessageRecord> records;  // the current frame, storage kept from frame to frame
};

using TesselPluginMain = TesselPlugin (*)();

// Init: asks `plugin_main` for the author's functions and calls `started`. False when either
// throws or `started` returns false; the kit then stays stopped. An Init while running is taken
// as the end of the last run: its `stopped` is called first.
bool plugin_kit_init(PluginKit& kit, TesselPluginMain plugin_main) noexcept;

// Update: while running, decodes up to `count` messages from the stream, never past its end, and
// hands them to `frame`. False when decoding could not grow its storage or `frame` threw.
bool plugin_kit_update(PluginKit& kit, double dt, std::span<const std::uint8_t> stream,
                       std::uint32_t count) noexcept;

// Shutdown: calls `stopped` after a successful Init; nothing otherwise.
void plugin_kit_shutdown(PluginKit& kit) noexcept;
