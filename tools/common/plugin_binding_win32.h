// A plug-in DLL as a host sees it: loaded, its four exports found and its version checked. The
// host emulator and the tests that load the plug-in both bind it here.
#pragma once

#include "plugin/host/plugin_interface.h"

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

// Loads the DLL as hosts do: by its full path, with LOAD_WITH_ALTERED_SEARCH_PATH, so the DLLs
// it needs are looked for beside it first. On failure `error` holds GetLastError's code.
HMODULE plugin_load_library(const std::string& path, DWORD& error);

// Finds the four exports; `missing` lists those that are not there, comma-separated.
bool plugin_find_exports(PluginBinding& plugin, std::string& missing);

// "error 193: %1 is not a valid Win32 application" with %1 filled in.
std::string system_message(DWORD code, const std::string& insert);

// Loads the DLL and checks it; on refusal the DLL is unloaded again and `error` says why
// ("missing export ...", "interface version 3; this host drives version 2", ...).
bool plugin_bind(const std::string& path, PluginBinding& plugin, std::string& error);
void plugin_unbind(PluginBinding& plugin);

// One Update call. The out-values start at a marker that is not zero, so a caller sees whether
// the plug-in wrote them.
struct UpdateResult {
    bool returned;
    std::uint32_t out_a;
    std::uint32_t out_b;
};
UpdateResult plugin_update(const PluginBinding& plugin, double dt, const std::uint8_t* stream,
                           std::uint32_t stream_size, std::uint32_t count);
