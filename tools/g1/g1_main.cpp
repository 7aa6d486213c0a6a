// g1: the reference receiver of the plug-in's G1 datagram (`g1 listen`), a relay that sends
// the datagrams on to unicast receivers (`g1 relay`), live instruments in a browser
// (`g1 serve`), and a recorder and sender of G1 for receivers tested without a simulator
// (`g1 record`, `g1 send`).
#include "tessel_version.h"
#include "tools/common/interrupt.h"
#include "tools/common/sender_filter.h"
#include "tools/common/udp.h"
#include "tools/g1/listen.h"
#include "tools/g1/record.h"
#include "tools/g1/relay.h"
#include "tools/g1/send.h"
#include "tools/g1/serve.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kExitNetwork = 1;
constexpr int kWaitMs = 200;  // how often the loops look at the clock and at Ctrl+C
constexpr std::size_t kReceiveBuffer = 65536;

struct Limits {
    std::uint64_t count = 0;  // 0: no limit
    double seconds = 0.0;
};

struct ListenOptions {
    std::uint16_t port = kG1Port;
    bool csv = false;
    std::vector<std::string> from;
    Limits limits;
};

struct RelayOptions {
    std::uint16_t port = kG1Port;
    std::vector<std::string> targets;
    std::vector<std::string> from;
    std::uint32_t max_rate = kSenderRateDefault;
    Limits limits;
};

using Clock = std::chrono::steady_clock;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Whether the loop goes on after `done` datagrams, `start` being when it began.
bool go_on(const Limits& limits, std::uint64_t done, Clock::time_point start) {
    if (interrupt_requested()) return false;
    if (limits.count != 0 && done >= limits.count) return false;
    const std::chrono::duration<double> ran = Clock::now() - start;
    return limits.seconds <= 0.0 || ran.count() < limits.seconds;
}

void add_from(CLI::App& command, std::vector<std::string>& from) {
    command.add_option("--from", from,
                       "Take datagrams only from this sender, ADDR or ADDR/PREFIX; give as many "
                       "as needed (default: every sender)");
}

bool make_filter(const std::vector<std::string>& texts, SenderFilter& filter, std::string& error) {
    for (const std::string& text : texts) {
        if (!sender_filter_add(filter, text, error)) return false;
    }
    return true;
}

void add_limits(CLI::App& command, Limits& limits) {
    command.add_option("--count", limits.count, "Stop after this many datagrams (0: no limit)");
    command.add_option("--seconds", limits.seconds, "Stop after this many seconds (0: no limit)")
        ->check(CLI::NonNegativeNumber);
}

int run_listen(const ListenOptions& o) {
    UdpSocket socket;
    SenderFilter from;
    std::string error;
    if (!make_filter(o.from, from, error) || !udp_open({0, o.port}, true, socket, error)) {
        std::fprintf(stderr, "g1 listen: %s\n", error.c_str());
        return kExitNetwork;
    }
    std::fprintf(stderr, "g1 listen: on %s, sharing the port with other receivers; from %s\n",
                 udp_address_text({0, o.port}).c_str(), sender_filter_text(from).c_str());
    const ListenFormat format = o.csv ? ListenFormat::Csv : ListenFormat::Table;
    std::fputs(listen_header(format).c_str(), stdout);
    std::fflush(stdout);
    ListenStats stats;
    std::vector<char> buffer(kReceiveBuffer);
    const Clock::time_point start = Clock::now();
    while (go_on(o.limits, stats.datagrams, start)) {
        UdpDatagram got;
        const UdpWait wait = udp_receive(socket, buffer, got, kWaitMs);
        if (wait == UdpWait::Failed) {
            std::fprintf(stderr, "g1 listen: receiving failed\n");
            break;
        }
        if (wait == UdpWait::Datagram && !sender_filter_takes(from, got.from.ip)) {
            ++stats.other_senders;
        } else if (wait == UdpWait::Datagram) {
            const ListenLines lines =
                listen_take(stats, format, {buffer.data(), got.length}, got.from.ip, now_ns());
            std::fputs(lines.out.c_str(), stdout);
            std::fputs(lines.err.c_str(), stderr);
            std::fflush(stdout);
        }
    }
    udp_close(socket);
    std::fprintf(stderr, "g1 listen: %s", listen_summary(stats).c_str());
    return 0;
}

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
    if (!resolve_targets(o.targets, targets, error) || !make_filter(o.from, from, error) ||
        !relay_open(relay, o.port, std::move(targets), std::move(from), o.max_rate, error)) {
        std::fprintf(stderr, "g1 relay: %s\n", error.c_str());
        return kExitNetwork;
    }
    std::string to;
    for (const UdpAddress& t : relay.targets) to += " " + udp_address_text(t);
    std::fprintf(stderr, "g1 relay: broadcasts on %s from %s, to%s\n",
                 udp_address_text({0, o.port}).c_str(), sender_filter_text(relay.from).c_str(),
                 to.c_str());
    const Clock::time_point start = Clock::now();
    int rc = 0;
    while (go_on(o.limits, relay.counts.forwarded, start)) {
        if (relay_step(relay, kWaitMs, now_ns()) == RelayStep::Failed) {
            std::fprintf(stderr, "g1 relay: receiving failed\n");
            rc = kExitNetwork;
            break;
        }
    }
    std::fprintf(stderr, "g1 relay: %s", relay_summary(relay).c_str());
    relay_close(relay);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Receives and decodes the G1 telemetry datagram, relays it to unicast targets, shows it "
        "in a browser, records it, or sends it from a recording or a scenario."};
    app.set_version_flag("--version", std::string("g1 ") + kTesselVersion);
    app.require_subcommand(1);

    ListenOptions lo;
    CLI::App* listen_command = app.add_subcommand(
        "listen", "Print each datagram in units (time in seconds, the rest divided by 1000)");
    listen_command->add_option("--port", lo.port, "UDP port")->capture_default_str();
    listen_command->add_flag("--csv", lo.csv, "Comma-separated values instead of a table");
    add_from(*listen_command, lo.from);
    add_limits(*listen_command, lo.limits);

    RelayOptions ro;
    CLI::App* relay_command =
        app.add_subcommand("relay", "Send every G1 broadcast on, unchanged, to unicast targets");
    relay_command->add_option("--to", ro.targets, "A target HOST:PORT; give as many as needed")
        ->required();
    relay_command->add_option("--port", ro.port, "UDP port to take datagrams from")
        ->capture_default_str();
    add_from(*relay_command, ro.from);
    relay_command
        ->add_option("--max-rate", ro.max_rate,
                     "Datagrams a second forwarded from one sender at most, in bursts of a tenth "
                     "of a second's worth; the rest are dropped and counted")
        ->check(CLI::Range(std::uint32_t{1}, kSenderRateMax))
        ->capture_default_str();
    add_limits(*relay_command, ro.limits);

    ServeOptions so;
    CLI::App* serve_command = add_serve_command(app, so);
    RecordOptions rec;
    CLI::App* record_command = add_record_command(app, rec);
    SendOptions send;
    CLI::App* send_command = add_send_command(app, send);

    CLI11_PARSE(app, argc, argv);

    std::string error;
    if (!udp_startup(error)) {
        std::fprintf(stderr, "g1: %s\n", error.c_str());
        return kExitNetwork;
    }
    interrupt_install();
    const int rc = listen_command->parsed()   ? run_listen(lo)
                   : serve_command->parsed()  ? run_serve(so)
                   : record_command->parsed() ? run_record(rec)
                   : send_command->parsed()   ? run_send(send)
                                              : run_relay(ro);
    udp_cleanup();
    return rc;
}
