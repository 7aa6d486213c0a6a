// Test support on Windows: the plug-in DLL beside the test program, bound as the host emulator
// binds it, fed one frame at a time, and its broadcasts heard on the G1 port through the tools'
// UDP interface (tests run inside the sandbox, where broadcasts stay on lo).
#pragma once

#include "plugin/telemetry/g1_datagram.h"
#include "tools/common/plugin_binding_win32.h"
#include "tools/common/udp.h"
#include "tools/message_stream/stream_builder.h"

#include <cstdint>
#include <optional>
#include <string>

// The build names the file after its target.
inline constexpr const char* kPluginDllName = TESSEL_PLUGIN_DLL_NAME;
inline constexpr double kTestTimeStep = 0.016;  // seconds, a 60 Hz frame

// `file_name` in the directory of the running program, where the build puts the DLL and tools.
std::string path_beside_this_program(const std::string& file_name);

// The plug-in beside the test program; every pointer null when it cannot be bound.
PluginBinding plugin_load();

// Sends `frame` through Update with the test time step.
UpdateResult send_frame(const PluginBinding& plugin, const StreamBuilder& frame);

// Winsock for the test process, as the host provides it.
struct WinsockSession {
    bool started = false;
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

// A receiver on 0.0.0.0:port that shares the port with the other receivers; closes itself.
struct DatagramReceiver {
    UdpSocket socket;
    explicit DatagramReceiver(std::uint16_t port = kG1Port);
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    bool bound() const { return socket.open; }
    // The next datagram's payload, or nothing once `timeout_ms` passed without one.
    std::optional<std::string> receive(int timeout_ms = 2000) const;
    // Reads and drops datagrams until none comes for `quiet_ms`; returns how many there were.
    int drain(int quiet_ms = 100) const;
};
