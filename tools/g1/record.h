// `g1 record FILE`: every datagram that `g1 listen` would take, written with its arrival time
// and sender to a capture file that packet analysers open and `g1 send --replay` plays.
#pragma once

#include "plugin/telemetry/g1_datagram.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct RecordOptions {
    std::string file;
    std::uint16_t port = kG1Port;
    std::vector<std::string> from;  // ADDR[/PREFIX] each; none: every sender
    std::uint64_t count = 0;        // 0: no limit
    double seconds = 0.0;           // 0: until Ctrl+C
};

CLI::App* add_record_command(CLI::App& app, RecordOptions& options);

// Runs until Ctrl+C or a limit; the socket library is started by the caller.
int run_record(const RecordOptions& options);
