// The subcommands of g1, each in its own file (NAME_command.cpp) with its options and its loop,
// and the options that the receiving ones share. g1_main.cpp only adds them and runs the one
// given.
#pragma once

#include "tools/g1/receive.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

// A subcommand added to the command line; `run` holds its options, parsed by then, and is called
// after the socket library has started. It returns the exit code.
struct G1Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

G1Command add_listen_command(CLI::App& app);
G1Command add_relay_command(CLI::App& app);
G1Command add_serve_command(CLI::App& app);
G1Command add_record_command(CLI::App& app);
G1Command add_send_command(CLI::App& app);

// `--from ADDR[/PREFIX]`, as often as needed.
void add_from_option(CLI::App& command, std::vector<std::string>& from);

// `--seconds`, and `--count` where `counts` names what it counts.
void add_limit_options(CLI::App& command, ReceiveLimits& limits, const char* counts = nullptr);

// The filter of the `--from` texts; prints "COMMAND: why" where one is refused.
bool make_sender_filter(const char* command, const std::vector<std::string>& texts,
                        SenderFilter& filter);

// A receiving subcommand's start: its filter of the `--from` texts and a socket on `port` that
// takes one datagram a wait, so that `--count` stops exactly. Prints "COMMAND: why" on failure.
bool start_receiving(const char* command, std::uint16_t port, const std::vector<std::string>& from,
                     SenderFilter& filter, ReceiveSocket& in);
