// The kit's lifecycle: the author's functions called in order, every exception kept in here.
#include "plugin/kit/plugin_kit.h"

#include "plugin/host/frame_decoder.h"

bool plugin_kit_init(PluginKit& kit, TesselPluginMain plugin_main) noexcept {
    if (kit.running) {
        plugin_kit_shutdown(kit);
    }
    kit.frames = 0;
    try {
        kit.plugin = plugin_main();
        kit.running = kit.plugin.started == nullptr || kit.plugin.started(kit.plugin.user);
    } catch (...) {
        kit.running = false;
    }
    return kit.running;
}

bool plugin_kit_update(PluginKit& kit, double dt, std::span<const std::uint8_t> stream,
                       std::uint32_t count) noexcept {
    if (!kit.running || kit.plugin.frame == nullptr) {
        return true;
    }
    try {
        decode_frame(stream, count, kit.records);
        const TesselFrame frame{kit.records, dt, ++kit.frames, count};
        kit.plugin.frame(frame, kit.plugin.user);
        return true;
    } catch (...) {
        return false;
    }
}

void plugin_kit_shutdown(PluginKit& kit) noexcept {
    if (!kit.running) {
        return;
    }
    kit.running = false;
    if (kit.plugin.stopped != nullptr) {
        try {
            kit.plugin.stopped(kit.plugin.user);
        } catch (...) {
            // Nothing may reach the host; the plug-in is stopped either way.
        }
    }
}
