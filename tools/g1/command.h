// The subcommands of g1, each in its own file (NAME_command.cpp) with its options and its loop,
// and the options that the consuming ones share, the source's first. g1_main.cpp only adds them and
// runs the one given.
#pragma once

#include "tools/g1/mqtt/broker_client.h"
#include "tools/g1/receive/receive.h"
#include "tools/g1/sources/fly_source.h"
#include "tools/g1/sources/replay_source.h"
#include "tools/g1/sources/source.h"

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

// Which sources a command offers.
enum SourceKind : unsigned {
    kSourcePort = 1,
    kSourceBroker = 2,
    kSourceReplay = 4,
    kSourceFly = 8,
    kEverySource = 15,
};

// The options that choose a command's source, as given: the UDP port (the default), `--broker`
// with its options, `--replay FILE` with `--speed`, `--loop`, `--sender` and `--all`, or
// `--fly SCENARIO` with the scenario's rate and `--drop-every`.
struct SourceTexts {
    unsigned kinds = kEverySource;
    std::uint16_t port = kG1Port;
    BrokerTexts broker;
    ReplayOptions replay;
    FlyOptions fly;
    // Each option as added, to tell which were given; null where the command has none.
    CLI::Option* port_option = nullptr;
    CLI::Option* broker_option = nullptr;
    CLI::Option* replay_option = nullptr;
    CLI::Option* fly_option = nullptr;
    std::vector<CLI::Option*> broker_only;  // --topic-prefix, --username, --password-file, --cafile
    std::vector<CLI::Option*> replay_only;  // --speed, --loop, --sender, --all
    std::vector<CLI::Option*> fly_only;     // the rate, --drop-every
};

// `rate_name` names the scenario's rate where `--rate` means something else to the command, and
// `broker_name` the broker source where `--broker` does (g1 publish's, whose broker options
// then serve both: the caller copies them into `texts.broker`).
void add_source_options(CLI::App& command, SourceTexts& texts, unsigned kinds,
                        const char* rate_name = "--rate", const char* broker_name = "--broker");

// Refuses options that make no sense together (exit 2, "COMMAND: why"); 0 when they do. For a
// command that opens a source of its own (g1 serve's recording, played with a timeline).
int source_checked(const char* command, const SourceTexts& texts, bool required = false);

// Refuses options that make no sense together (exit 2, "COMMAND: why"), then opens the source
// they choose, taking up to `capacity` datagrams a wait. Returns 0, or the exit code after
// printing "COMMAND: why". Without --broker, --replay or --fly it is the port, unless `required`
// says the command has no default (g1 send).
int source_open(const char* command, const SourceTexts& texts, std::size_t capacity,
                G1Source& source, bool required = false);
