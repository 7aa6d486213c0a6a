// A plug-in DLL as the host sees it: loaded, its four exports found and its version checked.
#pragma once

#include "tools/host/stream_file.h"

#include <windows.h>

#include <cstdint>
#include <string>

inline constexpr std::int32_t kHostInterfaceVersion = 2;

using PluginGetInterfaceVersion = std::int32_t (*)();
using PluginInit = bool (*)(void*);
// Time step, stream, stream length, record count, out-stream, two out-values.
using PluginUpdate = bool (*)(double, const std::uint8_t*, std::uint32_t, std::uint32_t,
                              std::uint8_t*, std::uint32_t*, std::uint32_t*);
using PluginShutdown = void (*)();

struct PluginBinding {
    HMODULE module = nullptr;
    PluginGetInterfaceVersion get_interface_version = nullptr;
    PluginInit init = nullptr;
    PluginUpdate update = nullptr;
    PluginShutdown shutdown = nullptr;
};

// Loads the DLL and checks it; on refusal the DLL is unloaded again and `error` says why
// ("missing export ...", "interface version 3; this host drives version 2", ...).
bool plugin_bind(const std::string& path, PluginBinding& plugin, std::string& error);
void plugin_unbind(PluginBinding& plugin);

// One Update call with the frame; the out-values are not used by this host.
bool plugin_send(const PluginBinding& plugin, const StreamFrame& frame);
