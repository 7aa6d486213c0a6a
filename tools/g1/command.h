// The subcommands of g1, each in its own file (NAME_command.cpp) with its options and its loop,
// and the options that the receiving ones share. g1_main.cpp only adds them and runs the one
// given.
#pragma once

#include "tools/g1/mqtt/broker_client.h"
#include "tools/g1/receive/receive.h"

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
G1Command add_publish_command(CLI::App& app);

inline constexpr int kExitBadInput = 2;  // an option that cannot be used, said why

// The broker options as given: `--broker HOST[:PORT]`, `--topic-prefix`, `--username`,
// `--password-file` (or the environment variable below; never the command line) and `--cafile`.
struct BrokerTexts {
    std::string address;  // empty: no broker
    std::string prefix{kBrokerDefaultPrefix};
    std::string username;
    std::string password_file;
    std::string cafile;
};

inline constexpr const char* kBrokerPasswordVariable = "G1_BROKER_PASSWORD";

// `what` says what the broker is for in --broker's help.
void add_broker_options(CLI::App& command, BrokerTexts& broker, const char* what);

// The options checked (address, prefix, credentials, CA file) and the password read. Prints
// "COMMAND: why" where one cannot be used.
bool make_broker_options(const char* command, const BrokerTexts& texts, BrokerOptions& options);

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

// Where a receiving subcommand takes its datagrams from: the shared UDP port, or a broker's
// PREFIX/+/g1. Both go to the same handler, and so through the same receive step.
struct ReceiveSource {
    ReceiveSocket udp;
    BrokerLinkPtr broker;
};

// Opens the broker when `broker.address` is given (and says so on stderr), else the port.
// Returns 0, or the exit code after printing "COMMAND: why".
int source_open(const char* command, std::uint16_t port, const BrokerTexts& broker,
                const SenderFilter& filter, ReceiveSource& source);

// A broker that refused this client for good is said and fails the wait.
UdpWait source_wait(ReceiveSource& source, int timeout_ms, const ReceiveHandler& handle);
// Says, for a broker, how often it reconnected and what it ignored.
void source_close(const char* command, ReceiveSource& source);
