// `g1 listen`: its options and its loop; prints each datagram in units as it arrives.
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/sinks/text/listen.h"

#include <cstdio>
#include <memory>

namespace {

constexpr const char* kListenName = "g1 listen";

struct ListenOptions {
    std::uint16_t port = kG1Port;
    bool csv = false;
    std::vector<std::string> from;
    ReceiveLimits limits;
    BrokerTexts broker;
};

int run_listen(const ListenOptions& o) {
    ListenStats stats;
    ReceiveSource in;
    if (!make_sender_filter(kListenName, o.from, stats.receiver.from)) return kExitFailed;
    if (const int rc = source_open(kListenName, o.port, o.broker, stats.receiver.from, in);
        rc != 0) {
        return rc;
    }
    if (!in.broker) {
        std::fprintf(stderr, "%s: on %s, sharing the port with other receivers; from %s\n",
                     kListenName, udp_address_text({0, o.port}).c_str(),
                     sender_filter_text(stats.receiver.from).c_str());
    }
    const ListenFormat format = o.csv ? ListenFormat::Csv : ListenFormat::Table;
    std::fputs(listen_header(format).c_str(), stdout);
    std::fflush(stdout);
    const auto take = [&](const UdpDatagram& d, std::span<const char> bytes, std::int64_t at_ns) {
        const ListenLines lines =
            listen_take(stats, format, {bytes.data(), bytes.size()}, d.from.ip, at_ns);
        std::fputs(lines.out.c_str(), stdout);
        std::fputs(lines.err.c_str(), stderr);
        std::fflush(stdout);
    };
    const int rc = receive_run(
        kListenName, o.limits, [&] { return stats.receiver.counts.datagrams; },
        [&](int timeout_ms) {
            return source_wait(in, timeout_ms, take) == UdpWait::Failed ? ReceiveStep::Failed
                                                                        : ReceiveStep::GoOn;
        });
    source_close(kListenName, in);
    std::fprintf(stderr, "%s: %s", kListenName, listen_summary(stats).c_str());
    return rc;
}

}  // namespace

G1Command add_listen_command(CLI::App& app) {
    const auto o = std::make_shared<ListenOptions>();
    CLI::App* command = app.add_subcommand(
        "listen", "Print each datagram in units (time in seconds, the rest divided by 1000)");
    command->add_option("--port", o->port, "UDP port")->capture_default_str();
    command->add_flag("--csv", o->csv, "Comma-separated values instead of a table");
    add_from_option(*command, o->from);
    add_limit_options(*command, o->limits, "datagrams");
    add_broker_options(*command, o->broker, "to take the datagrams from instead of the port");
    return {command, [o] { return run_listen(*o); }};
}
