// A plug-in DLL as the host sees it: loaded, its four exports found and its version checked.
#pragma once

#include "plugin/host/plugin_interface.h"
#include "tools/tessel_host/stream_file.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct PluginBinding {
    HMODULE module = nullptr;
    PluginGetInterfaceVersionFn get_interface_version = nullptr;
    PluginInitFn init = nullptr;
    PluginUpdateFn update = nullptr;
    PluginShutdownFn shutdown = nullptr;
};

// Loads the DLL and checks it; on refusal the DLL is unloaded again and `error` says why
// ("missing export ...", "interface version 3; this host drives version 2", ...).
bool plugin_bind(const std::string& path, PluginBinding& plugin, std::string& error);
void plugin_unbind(PluginBinding& plugin);

// One Update call with the frame; the out-values are not used by this host.
bool plugin_send(const PluginBinding& plugin, const StreamFrame& frame);
