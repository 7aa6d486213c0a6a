// `g1 send`: G1 on the wire without a simulator, as the plug-in sends it (to 255.255.255.255,
// port 50010, unless told otherwise): a recording played back at its own pace, or a built-in
// scenario of the host emulator flown here, the datagrams the plug-in would send for its frames.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

struct SendOptions {
    std::string replay;  // a capture file
    std::string fly;     // a scenario's name
    double speed = 1.0;
    bool loop = false;
    std::string sender;  // of the recording; empty: its only one
    double rate = 60.0;
    std::string to;  // HOST:PORT; empty: the plug-in's destination
    std::uint64_t count = 0;
    double seconds = 0.0;
};

CLI::App* add_send_command(CLI::App& app, SendOptions& options);

// Runs until the recording ends, Ctrl+C or a limit; the socket library is started by the caller.
int run_send(const SendOptions& options);
