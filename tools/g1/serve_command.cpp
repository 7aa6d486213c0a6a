// `g1 serve`: its options and its loop; receives the G1 datagrams as `g1 listen` does and shows
// them, live, as instruments on a web page that any browser of the network can open. Datagrams
// from the port are taken on the web side's I/O thread, which writes them to the pages right
// away; a broker's come on this thread's loop, which leaves each sender's latest datagram for the
// web side. Either way, the one thread that takes them keeps the health too. Once running, g1
// serve writes its log through the log queue, so a stderr that blocks holds up neither side.
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/sinks/serve/log_queue.h"
#include "tools/g1/sinks/serve/serve_admission.h"
#include "tools/g1/sinks/serve/serve_event.h"
#include "tools/g1/sinks/serve/serve_health.h"
#include "tools/g1/sinks/serve/serve_http.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr const char* kServeName = "g1 serve";
constexpr std::uint16_t kServeHttpPort = 8080;
constexpr std::int64_t kHealthPeriodNs = 500'000'000;  // health events, data or none
constexpr std::uint64_t kMalformedShown = 10;          // then they are only counted
constexpr int kLogDrainMs = 2000;               // at the end, for the log to reach a slow stderr
constexpr std::size_t kServeReceiveBatch = 16;  // datagrams a receive takes at most

struct ServeOptions {
    std::uint16_t port = kG1Port;
    std::uint16_t http_port = kServeHttpPort;
    std::string bind = "0.0.0.0";
    std::vector<std::string> from;   // ADDR[/PREFIX] each; none: every sender
    std::vector<std::string> hosts;  // names the page is opened by, beyond this machine's own
    std::string angles = "rad";
    ReceiveLimits limits;  // seconds only
    BrokerTexts broker;    // the datagrams from a broker instead of the port
};

// Senders turned away for want of a place, told once a period (a spoofed flood is one line).
void note_turned_away(RefusalLog& log, std::uint32_t ip, std::int64_t arrival_ns) {
    const std::uint64_t count = refusal_note(log, Refusal::Full, arrival_ns);  // its one cause
    if (count == 0) return;
    log_line(tool_log(),
             "%s: sender %s turned away: the %zu places for senders are held by senders heard "
             "steadily or shown by a page (%llu datagrams since the last such line)",
             kServeName, udp_ip_text(ip).c_str(), kSenderTableMax,
             static_cast<unsigned long long>(count));
}

void take(ServeHealth& h, ServeHttp& http, RefusalLog& turned_away, const UdpDatagram& d,
          std::span<const char> bytes, std::int64_t arrival_ns) {
    const Received got = receive_take(h.receiver, d, bytes, arrival_ns);
    if (got.kind == Reception::OtherSender || got.kind == Reception::NotBroadcast) return;
    health_note_arrival(h, arrival_ns);
    if (got.kind == Reception::Malformed) {
        const std::uint64_t malformed = h.receiver.counts.malformed;
        if (malformed <= kMalformedShown) {
            log_line(tool_log(), "%s: malformed datagram from %s: %s%s", kServeName,
                     udp_address_text(d.from).c_str(), g1_parse_reason(got.parsed).c_str(),
                     malformed == kMalformedShown ? " (further ones are counted)" : "");
        }
        return;
    }
    if (!serve_http_publish_datagram(http, d.from.ip, {got.time_us, got.parsed.fields},
                                     arrival_ns)) {
        note_turned_away(turned_away, d.from.ip, arrival_ns);
    }
}

// Every URL the page can be opened at: on each address of this machine when served on all.
void print_addresses(const ServeOptions& o, std::uint32_t bind_ip, std::uint16_t http_port,
                     const SenderFilter& filter) {
    LogQueue& log = tool_log();
    if (o.broker.address.empty()) {
        log_line(log, "%s: datagrams from %s on %s", kServeName, sender_filter_text(filter).c_str(),
                 udp_address_text({0, o.port}).c_str());
    }
    std::vector<UdpInterface> interfaces;
    std::string error;
    if (bind_ip != 0) {
        interfaces.push_back({bind_ip, 0});
    } else if (!udp_interfaces(interfaces, error) || interfaces.empty()) {
        log_line(log, "%s: this machine's addresses are unknown (%s)", kServeName, error.c_str());
        interfaces.push_back({kLoopbackIp, 0});
    }
    // The network's addresses first, the ones a phone or tablet takes.
    std::stable_partition(interfaces.begin(), interfaces.end(),
                          [](const UdpInterface& i) { return (i.ip >> 24) != 127; });
    for (const UdpInterface& i : interfaces) {
        log_line(log, "%s: instruments at %s%s", kServeName,
                 ("http://" + udp_address_text({i.ip, http_port}) + "/").c_str(),
                 (i.ip >> 24) == 127 ? " (this machine only)" : "");
    }
    if (bind_ip == 0) {
        log_line(log,
                 "%s: every device that reaches this machine can open the page; --bind "
                 "127.0.0.1 keeps it on this machine",
                 kServeName);
    }
}

void print_summary(const ServeHealth& h, const ServeHttpSummary& web, std::uint64_t turned_away) {
    log_line(tool_log(),
             "%s: %llu datagrams, %llu malformed, %llu from other senders, %llu time wraps, "
             "%llu from senders turned away; %llu pages opened the stream, %llu dropped for "
             "taking no data; arrival to event written: p50 %lld us, p99 %lld us over %llu events",
             kServeName, static_cast<unsigned long long>(h.link.datagrams),
             static_cast<unsigned long long>(h.receiver.counts.malformed),
             static_cast<unsigned long long>(h.receiver.counts.other_senders),
             static_cast<unsigned long long>(h.receiver.times.wraps),
             static_cast<unsigned long long>(turned_away),
             static_cast<unsigned long long>(web.readers),
             static_cast<unsigned long long>(web.dropped),
             static_cast<long long>(latency_percentile_us(web.latency, 0.50)),
             static_cast<long long>(latency_percentile_us(web.latency, 0.99)),
             static_cast<unsigned long long>(web.latency.count));
}

int run_serve(const ServeOptions& o) {
    ServeHealth health;
    ReceiveSource in;
    std::string error;
    const AngleUnit angles = o.angles == "deg" ? AngleUnit::Degrees : AngleUnit::Radians;
    std::uint32_t bind_ip = 0;
    if (!make_sender_filter(kServeName, o.from, health.receiver.from)) return kExitFailed;
    if (!udp_resolve(o.bind, bind_ip, error)) {
        std::fprintf(stderr, "%s: %s\n", kServeName, error.c_str());
        return kExitFailed;
    }
    if (const int rc = source_open(kServeName, o.port, o.broker, health.receiver.from, in);
        rc != 0) {
        return rc;
    }
    ServeHttpPtr http = serve_http_start(bind_ip, o.http_port, error, angles, o.hosts);
    if (!http) {
        std::fprintf(stderr, "%s: %s\n", kServeName, error.c_str());
        source_close(kServeName, in);
        return kExitFailed;
    }
    log_start(tool_log());
    print_addresses(o, bind_ip, serve_http_port(*http), health.receiver.from);
    // The web side's thread takes datagrams until serve_http_stop has joined it, after `http`
    // has been handed over: what it calls holds the server itself, not the pointer.
    ServeHttp& server = *http;
    RefusalLog turned_away;  // on the one thread that takes the datagrams
    const auto handle = [&](const UdpDatagram& d, std::span<const char> bytes, std::int64_t at) {
        take(health, server, turned_away, d, bytes, at);
    };
    std::array<SenderFigures, kSenderTableMax> senders;
    std::vector<LinkFigures> links;
    const auto publish_health = [&](std::int64_t now_ns) {
        const std::size_t n = serve_http_sender_figures(server, now_ns, senders);
        receive_link_figures(health.receiver, now_ns, links);
        serve_http_publish_links(server, links);
        HealthFigures figures = health_figures(health, now_ns);
        figures.turned_away = serve_http_turned_away(server);
        serve_http_publish_health(
            server, health_event(figures, angles, o.port, {senders.data(), n}, links));
    };
    const auto none_counted = [] { return std::uint64_t{0}; };
    int rc = 0;
    if (!in.broker) {
        // A receive that comes back short of its batch has emptied the socket: no second one
        // to find it so.
        udp_batch_reserve(in.udp.batch, kServeReceiveBatch, kReceiveSlot);
        const auto receive = [&] {
            const UdpWait got = receive_wait(in.udp, 0, handle);
            const bool full = in.udp.batch.count == in.udp.batch.datagrams.size();
            return got == UdpWait::Datagram && !full ? UdpWait::Timeout : got;
        };
        // This thread keeps only Ctrl+C and the time limit.
        if (!serve_http_receive(
                *http, in.udp.socket, receive, [&] { publish_health(receive_clock_ns()); },
                kHealthPeriodNs, error)) {
            log_line(tool_log(), "%s: %s", kServeName, error.c_str());
            rc = kExitFailed;
        } else {
            rc = receive_run(kServeName, o.limits, none_counted, [&](int timeout_ms) {
                return serve_http_receiving(*http, timeout_ms) ? ReceiveStep::GoOn
                                                               : ReceiveStep::Failed;
            });
        }
    } else {
        std::int64_t next_health_ns = receive_clock_ns();
        rc = receive_run(kServeName, o.limits, none_counted, [&](int timeout_ms) {
            if (source_wait(in, timeout_ms, handle) == UdpWait::Failed) return ReceiveStep::Failed;
            const std::int64_t now_ns = receive_clock_ns();
            if (now_ns >= next_health_ns) {
                publish_health(now_ns);
                next_health_ns = now_ns + kHealthPeriodNs;
            }
            return ReceiveStep::GoOn;
        });
    }
    // The web side first: it may still be receiving from the source.
    const std::uint64_t senders_turned_away = serve_http_turned_away(*http);
    ServeHttpSummary web = serve_http_stop(std::move(http));
    source_close(kServeName, in);
    print_summary(health, web, senders_turned_away);
    // A stderr that takes nothing would hold the exit too (the runtime's stream lock): end
    // without the runtime's clean-up then.
    if (!log_stop(tool_log(), kLogDrainMs)) std::_Exit(rc);
    return rc;
}

}  // namespace

G1Command add_serve_command(CLI::App& app) {
    const auto o = std::make_shared<ServeOptions>();
    CLI::App* command = app.add_subcommand(
        "serve", "Show the datagrams live as instruments on a web page, for any browser");
    command->add_option("--port", o->port, "UDP port of the datagrams")->capture_default_str();
    command->add_option("--http", o->http_port, "TCP port of the web page")->capture_default_str();
    command->add_option("--bind", o->bind, "Address the web page is served on (0.0.0.0: all)")
        ->capture_default_str();
    command->add_option("--host", o->hosts,
                        "A name the page is opened by, beyond this machine's addresses, host "
                        "name and localhost (a router's DNS name); repeatable");
    add_from_option(*command, o->from);
    command->add_option("--angles", o->angles, "Unit of the angles on the wire")
        ->check(CLI::IsMember({"rad", "deg"}))
        ->capture_default_str();
    add_limit_options(*command, o->limits);
    add_broker_options(*command, o->broker, "to take the datagrams from instead of the port");
    return {command, [o] { return run_serve(*o); }};
}
