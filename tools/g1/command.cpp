// The options that the receiving subcommands of g1 share.
#include "tools/g1/command.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

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

bool start_receiving(const char* command, std::uint16_t port, const std::vector<std::string>& from,
                     SenderFilter& filter, ReceiveSocket& in) {
    if (!make_sender_filter(command, from, filter)) return false;
    std::string error;
    if (!receive_open(in, port, 1, error)) {
        std::fprintf(stderr, "%s: %s\n", command, error.c_str());
        return false;
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

int source_open(const char* command, std::uint16_t port, const BrokerTexts& broker,
                const SenderFilter& filter, ReceiveSource& source) {
    std::string error;
    if (broker.address.empty()) {
        if (!receive_open(source.udp, port, 1, error)) {
            std::fprintf(stderr, "%s: %s\n", command, error.c_str());
            return kExitFailed;
        }
        return 0;
    }
    BrokerOptions options;
    if (!make_broker_options(command, broker, options)) return kExitBadInput;
    source.broker = broker_subscriber_start(options, error);
    if (!source.broker) {
        std::fprintf(stderr, "%s: %s\n", command, error.c_str());
        return kExitBadInput;
    }
    std::fprintf(stderr, "%s: from the broker at %s:%u, topics %s; from %s\n", command,
                 options.host.c_str(), static_cast<unsigned>(options.port),
                 broker_every_sender(options.prefix, kBrokerDatagramLeaf).c_str(),
                 sender_filter_text(filter).c_str());
    return 0;
}

UdpWait source_wait(ReceiveSource& source, int timeout_ms, const ReceiveHandler& handle) {
    if (!source.broker) return receive_wait(source.udp, timeout_ms, handle);
    const std::string refusal = broker_refusal(*source.broker);
    if (!refusal.empty()) return UdpWait::Failed;
    return broker_wait(*source.broker, timeout_ms, handle);
}

void source_close(const char* command, ReceiveSource& source) {
    if (source.broker) {
        std::fprintf(stderr,
                     "%s: %llu reconnects to the broker, %llu messages on topics that name "
                     "no sender\n",
                     command, static_cast<unsigned long long>(broker_reconnects(*source.broker)),
                     static_cast<unsigned long long>(broker_unnamed(*source.broker)));
        source.broker.reset();
    } else {
        receive_close(source.udp);
    }
}
