// Test support on Windows: the plug-in DLL loaded as a host loads it, and a UDP receiver for
// its broadcasts on 0.0.0.0:50010 (tests run inside the sandbox, where broadcasts stay on lo).
#pragma once

#include "plugin/host/plugin_interface.h"

#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

inline constexpr const char* kPluginDllName = "corvane_tessel_external_dll_sample.dll";

struct PluginUnderTest {
    HMODULE module = nullptr;
    PluginGetInterfaceVersionFn get_interface_version = nullptr;
    PluginInitFn init = nullptr;
    PluginUpdateFn update = nullptr;
    PluginShutdownFn shutdown = nullptr;
};

// `file_name` in the directory of the running program, where the build puts the DLL and tools.
std::string path_beside_this_program(const char* file_name);

// Loads the DLL from beside the test program and resolves the four exports (null on failure).
PluginUnderTest plugin_load();
void plugin_unload(PluginUnderTest& plugin);

// Calls Update with the stream's bytes; out values start at a non-zero marker.
struct UpdateResult {
    bool returned;
    std::uint32_t out_a;
    std::uint32_t out_b;
};
UpdateResult plugin_update(const PluginUnderTest& plugin, double dt, const std::uint8_t* stream,
                           std::uint32_t stream_size, std::uint32_t count);

// Winsock for the test process, as the host provides it.
struct WinsockSession {
    bool started = false;
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

// A UDP socket bound to 0.0.0.0:50010 with address reuse; closes itself.
struct DatagramReceiver {
    SOCKET socket = INVALID_SOCKET;
    explicit DatagramReceiver(std::uint16_t port = 50010);
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    // The next datagram's payload, or nothing once `timeout_ms` passed without one.
    std::optional<std::string> receive(int timeout_ms = 2000) const;
    // Reads and drops what is queued; returns how many datagrams that was.
    int drain(int quiet_ms = 100) const;
};
