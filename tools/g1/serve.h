// `g1 serve`: receives the G1 datagrams as `g1 listen` does and shows them, live, as
// instruments on a web page that any browser of the network can open.
#pragma once

#include "plugin/telemetry/g1_datagram.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

inline constexpr std::uint16_t kServeHttpPort = 8080;

struct ServeOptions {
    std::uint16_t port = kG1Port;
    std::uint16_t http_port = kServeHttpPort;
    std::string bind = "0.0.0.0";
    std::vector<std::string> from;  // ADDR[/PREFIX] each; none: every sender
    std::string angles = "rad";
    double seconds = 0.0;  // 0: until Ctrl+C
};

CLI::App* add_serve_command(CLI::App& app, ServeOptions& options);

// Runs until Ctrl+C or the time limit; the socket library is started by the caller.
int run_serve(const ServeOptions& options);
