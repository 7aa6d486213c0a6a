// The options that the consuming subcommands of g1 share, their source's first.
#include "tools/g1/command.h"

#include "tools/g1/sources/broker_source.h"
#include "tools/g1/sources/udp_source.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>

void add_from_option(CLI::App& command, std::vector<std::string>& from) {
    command.add_option("--from", from,
                       "Take datagrams only from this sender, ADDR or ADDR/PREFIX; give as many "
                       "as needed (default: every sender)");
}

void add_limit_options(CLI::App& command, ReceiveLimits& limits, const char* counts) {
    if (counts != nullptr) {
        command.add_option("--count", limits.count,
                           std::string("Stop after this many ") + counts + " (0: no limit)");
    }
    command.add_option("--seconds", limits.seconds, "Stop after this many seconds (0: no limit)")
        ->check(CLI::NonNegativeNumber);
}

bool make_sender_filter(const char* command, const std::vector<std::string>& texts,
                        SenderFilter& filter) {
    std::string error;
    for (const std::string& text : texts) {
        if (!sender_filter_add(filter, text, error)) {
            std::fprintf(stderr, "%s: %s\n", command, error.c_str());
            return false;
        }
    }
    return true;
}

void add_broker_options(CLI::App& command, BrokerTexts& b, const char* what) {
    command.add_option("--broker", b.address, std::string("MQTT broker ") + what + ", HOST[:PORT]");
    command.add_option("--topic-prefix", b.prefix, "First levels of the broker's topics")
        ->capture_default_str();
    command.add_option("--username", b.username, "User name at the broker");
    command.add_option("--password-file", b.password_file,
                       std::string("File whose first line is the password at the broker (or the "
                                   "environment variable ") +
                           kBrokerPasswordVariable + ")");
    command.add_option("--cafile", b.cafile,
                       "TLS to the broker, its certificate checked against this CA file");
}

namespace {

bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream file(path, std::ios::binary);
    if (!file || !std::getline(file, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

bool make_broker_options(const char* command, const BrokerTexts& t, BrokerOptions& o) {
    std::string error;
    std::uint32_t ip = 0;
    o.command = command;
    o.prefix = t.prefix;
    o.username = t.username;
    o.cafile = t.cafile;
    const char* variable = std::getenv(kBrokerPasswordVariable);
    if (!broker_parse_address(t.address, t.cafile.empty() ? kBrokerPort : kBrokerTlsPort, o.host,
                              o.port, error) ||
        !broker_prefix_check(t.prefix, error)) {
    } else if (!udp_resolve(o.host, ip, error)) {
        error = "broker \"" + t.address + "\": " + error;
    } else if (!t.password_file.empty() && !read_first_line(t.password_file, o.password)) {
        error = "cannot read the password file " + t.password_file;
    } else if (t.password_file.empty() && variable != nullptr) {
        o.password = variable;
    }
    if (error.empty() && !o.password.empty() && o.username.empty()) {
        error = "a password needs --username";
    }
    if (error.empty() && !t.cafile.empty() && !std::ifstream(t.cafile, std::ios::binary)) {
        error = "cannot read the CA file " + t.cafile;
    }
    if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\n", command, error.c_str());
        return false;
    }
    if (!o.username.empty() && o.cafile.empty()) {
        std::fprintf(stderr,
                     "%s: warning: --username without --cafile: the user name and password go to "
                     "the broker in clear text, readable on every network between\n",
                     command);
    }
    return true;
}

void add_source_options(CLI::App& c, SourceTexts& t, unsigned kinds, const char* rate_name,
                        const char* broker_name) {
    t.kinds = kinds;
    if ((kinds & kSourcePort) != 0) {
        t.port_option = c.add_option("--port", t.port, "UDP port to take the datagrams from")
                            ->capture_default_str();
    }
    if ((kinds & kSourceBroker) != 0 && std::string_view(broker_name) != "--broker") {
        t.broker_option =
            c.add_option(broker_name, t.broker.address,
                         "MQTT broker to take the datagrams from instead of the port, "
                         "HOST[:PORT], with the prefix and credentials of --broker");
    } else if ((kinds & kSourceBroker) != 0) {
        add_broker_options(c, t.broker, "to take the datagrams from instead of the port");
        t.broker_option = c.get_option("--broker");
        t.broker_only = {c.get_option("--topic-prefix"), c.get_option("--username"),
                         c.get_option("--password-file"), c.get_option("--cafile")};
    }
    if ((kinds & kSourceReplay) != 0) {
        t.replay_option =
            c.add_option("--replay", t.replay.file,
                         "Take the datagrams from this pcap file (g1 record's, tcpdump's or "
                         "Wireshark's), played at the pace it was recorded");
        t.replay_only = {
            c.add_option("--speed", t.replay.speed,
                         "Replay this many times as fast (0.5: half as fast), never closer than "
                         "50 microseconds")
                ->capture_default_str(),
            c.add_flag("--loop", t.replay.loop,
                       "Replay from the start again after the end, until stopped"),
            c.add_option("--sender", t.replay.sender,
                         "Replay the datagrams of this sender, where the recording holds several"),
            c.add_flag("--all", t.replay.all,
                       "Replay the sender's malformed datagrams too, as recorded (without it, only "
                       "well-formed G1 is played and the rest counted)"),
        };
    }
    if ((kinds & kSourceFly) != 0) {
        t.fly_option = c.add_option("--fly", t.fly.scenario,
                                    "Take the datagrams of this scenario of the host emulator, "
                                    "flown here: circuit or stress")
                           ->check(CLI::IsMember({"circuit", "stress"}));
        t.fly_only = {
            c.add_option(rate_name, t.fly.rate_hz, "Frames a second to fly at")
                ->check(CLI::Range(1.0, 1000.0))
                ->capture_default_str(),
            c.add_option("--drop-every", t.fly.drop_every,
                         "Leave out every Nth frame's datagram, to try what a lossy link shows")
                ->check(CLI::Range(std::uint64_t{2}, std::uint64_t{1'000'000})),
        };
    }
}

namespace {

bool given(const CLI::Option* option) {
    return option != nullptr && option->count() > 0;
}

// Why the options given cannot be used together, or empty.
std::string source_refusal(const SourceTexts& t, bool required) {
    const CLI::Option* sources[] = {t.port_option, t.broker_option, t.replay_option, t.fly_option};
    std::vector<std::string> named;
    for (const CLI::Option* s : sources) {
        if (given(s)) named.push_back(s->get_name());
    }
    if (named.size() > 1) {
        return named[0] + " and " + named[1] + " are two sources of datagrams; give one";
    }
    const auto needs = [](const std::vector<CLI::Option*>& options, const CLI::Option* source,
                          const char* what) {
        for (const CLI::Option* o : options) {
            if (given(o) && !given(source)) return o->get_name() + " is for " + what;
        }
        return std::string();
    };
    std::string why = needs(t.broker_only, t.broker_option, "--broker HOST[:PORT]");
    if (why.empty()) why = needs(t.replay_only, t.replay_option, "--replay FILE");
    if (why.empty()) why = needs(t.fly_only, t.fly_option, "--fly SCENARIO");
    if (why.empty() && required && named.empty()) {
        why = (t.kinds & kSourceFly) != 0 ? "give --replay FILE or --fly SCENARIO"
                                          : "give --replay FILE";
    }
    if (why.empty() && given(t.replay_option) &&
        (!(t.replay.speed > 0.0) || !std::isfinite(t.replay.speed))) {
        why = "--speed must be above 0 (1 plays at the recorded pace, 2 twice as fast)";
    }
    return why;
}

}  // namespace

int source_checked(const char* command, const SourceTexts& t, bool required) {
    const std::string why = source_refusal(t, required);
    if (why.empty()) return 0;
    std::fprintf(stderr, "%s: %s\n", command, why.c_str());
    return kExitBadInput;
}

int source_open(const char* command, const SourceTexts& t, std::size_t capacity, G1Source& source,
                bool required) {
    if (const int rc = source_checked(command, t, required); rc != 0) return rc;
    std::string error;
    if (given(t.broker_option)) {
        BrokerOptions options;
        if (!make_broker_options(command, t.broker, options)) return kExitBadInput;
        if (broker_source_open(options, source, error)) return 0;
    } else if (given(t.replay_option)) {
        std::string notice;
        const bool opened = replay_source_open(t.replay, capacity, source, error, notice);
        if (!notice.empty()) std::fprintf(stderr, "%s: %s\n", command, notice.c_str());
        if (opened) return 0;
    } else if (given(t.fly_option)) {
        if (fly_source_open(t.fly, capacity, source, error)) return 0;
    } else {
        if (udp_source_open(t.port, capacity, source, error)) return 0;
        std::fprintf(stderr, "%s: %s\n", command, error.c_str());
        return kExitFailed;
    }
    std::fprintf(stderr, "%s: %s\n", command, error.c_str());
    return kExitBadInput;
}
