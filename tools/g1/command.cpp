// The options that the receiving subcommands of g1 share.
#include "tools/g1/command.h"

#include <cstdio>

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
