// `g1 relay`: its options and its loop; sends the G1 broadcasts (or a recording's, a broker's or a
// scenario's datagrams) on to unicast targets.
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/sinks/relay/relay.h"

#include <cstdio>
#include <memory>

namespace {

constexpr const char* kRelayName = "g1 relay";

struct RelayOptions {
    SourceTexts source;
    std::vector<std::string> targets;
    std::vector<std::string> from;
    std::uint32_t max_rate = kSenderRateDefault;
    std::uint32_t max_total_rate = kTotalRateDefault;
    ReceiveLimits limits;
};

bool resolve_targets(const std::vector<std::string>& texts, std::vector<UdpAddress>& targets,
                     std::string& error) {
    std::vector<UdpInterface> interfaces;
    if (!udp_interfaces(interfaces, error)) return false;
    for (const std::string& text : texts) {
        std::string host;
        UdpAddress target;
        if (!relay_parse_target(text, host, target.port, error) ||
            !udp_resolve(host, target.ip, error) ||
            !relay_target_allowed(target, interfaces, error)) {
            return false;
        }
        targets.push_back(target);
    }
    return true;
}

int run_relay(const RelayOptions& o) {
    std::vector<UdpAddress> targets;
    SenderFilter from;
    std::string error;
    Relay relay;
    G1Source in;
    if (!make_sender_filter(kRelayName, o.from, from)) return kExitFailed;
    if (!resolve_targets(o.targets, targets, error)) {
        std::fprintf(stderr, "%s: %s\n", kRelayName, error.c_str());
        return kExitFailed;
    }
    if (const int rc = source_open(kRelayName, o.source, kUdpBatchMax, in); rc != 0) return rc;
    const auto receive = [&in](int timeout_ms, const ReceiveHandler& handle) {
        return in.wait(timeout_ms, handle);
    };
    if (!relay_open(relay, receive, in.network, std::move(targets), std::move(from), o.max_rate,
                    o.max_total_rate, error)) {
        std::fprintf(stderr, "%s: %s\n", kRelayName, error.c_str());
        source_close(kRelayName, in);
        return kExitFailed;
    }
    std::string to;
    for (const UdpAddress& t : relay.targets) to += " " + udp_address_text(t);
    std::fprintf(stderr, "%s: %s %s; from %s, to%s\n", kRelayName,
                 in.network ? "broadcasts" : "datagrams", in.text.c_str(),
                 sender_filter_text(relay.receiver.from).c_str(), to.c_str());
    const int rc = receive_run(
        kRelayName, o.limits, [&] { return relay.counts.forwarded; },
        [&](int timeout_ms) {
            if (in.ended()) return ReceiveStep::Stop;
            return relay_step(relay, timeout_ms) == RelayStep::Failed ? ReceiveStep::Failed
                                                                      : ReceiveStep::GoOn;
        });
    source_close(kRelayName, in);
    std::fprintf(stderr, "%s: %s", kRelayName, relay_summary(relay).c_str());
    relay_close(relay);
    return rc;
}

}  // namespace

G1Command add_relay_command(CLI::App& app) {
    const auto o = std::make_shared<RelayOptions>();
    CLI::App* command =
        app.add_subcommand("relay", "Send every G1 broadcast on, unchanged, to unicast targets");
    command->add_option("--to", o->targets, "A target HOST:PORT; give as many as needed")
        ->required();
    add_source_options(*command, o->source, kEverySource);
    add_from_option(*command, o->from);
    command
        ->add_option("--max-rate", o->max_rate,
                     "Datagrams a second forwarded from one sender at most, in bursts of a tenth "
                     "of a second's worth (a sender first heard starts with one); the rest are "
                     "dropped and counted, in the closing line, as above --max-rate")
        ->check(CLI::Range(std::uint32_t{1}, kSenderRateMax))
        ->capture_default_str();
    command
        ->add_option("--max-total-rate", o->max_total_rate,
                     "Datagrams a second forwarded from all senders together at most, in bursts "
                     "of a tenth of a second's worth, however many addresses they come from; the "
                     "rest are dropped and counted, in the closing line, as above "
                     "--max-total-rate")
        ->check(CLI::Range(std::uint32_t{1}, kSenderRateMax))
        ->capture_default_str();
    add_limit_options(*command, o->limits, "datagrams");
    return {command, [o] { return run_relay(*o); }};
}
