// `g1 serve`: its options and its loop; receives the G1 datagrams as `g1 listen` does and shows
// them, live, as instruments on a web page that any browser of the network can open. The loop
// keeps the health and hands events to the web side.
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/serve_event.h"
#include "tools/g1/serve_health.h"
#include "tools/g1/serve_http.h"

#include <cstdio>
#include <memory>

namespace {

constexpr const char* kName = "g1 serve";
constexpr std::uint16_t kServeHttpPort = 8080;
constexpr std::int64_t kHealthPeriodNs = 500'000'000;  // health events, data or none
constexpr std::uint64_t kMalformedShown = 10;          // then they are only counted

struct ServeOptions {
    std::uint16_t port = kG1Port;
    std::uint16_t http_port = kServeHttpPort;
    std::string bind = "0.0.0.0";
    std::vector<std::string> from;   // ADDR[/PREFIX] each; none: every sender
    std::vector<std::string> hosts;  // names the page is opened by, beyond this machine's own
    std::string angles = "rad";
    ReceiveLimits limits;  // seconds only
};

void take(ServeHealth& h, AngleUnit angles, ServeHttp& http, const UdpDatagram& d,
          std::span<const char> bytes, std::int64_t arrival_ns) {
    const Received got = receive_take(h.receiver, d, bytes);
    if (got.kind == Reception::OtherSender || got.kind == Reception::NotBroadcast) return;
    health_note_arrival(h, arrival_ns);
    if (got.kind == Reception::Malformed) {
        const std::uint64_t malformed = h.receiver.counts.malformed;
        if (malformed <= kMalformedShown) {
            std::fprintf(stderr, "%s: malformed datagram from %s: %s%s\n", kName,
                         udp_address_text(d.from).c_str(), g1_parse_reason(got.parsed).c_str(),
                         malformed == kMalformedShown ? " (further ones are counted)" : "");
        }
        return;
    }
    serve_http_publish_datagram(
        http,
        datagram_event(kDatagramEvent, h.datagrams,
                       display_texts(got.parsed.fields, got.time_us, angles)),
        arrival_ns);
}

void print_address(const ServeOptions& o, std::uint16_t http_port, const SenderFilter& filter) {
    const std::string port = std::to_string(http_port);
    std::fprintf(stderr, "%s: datagrams from %s on %s\n", kName, sender_filter_text(filter).c_str(),
                 udp_address_text({0, o.port}).c_str());
    if (o.bind == "0.0.0.0") {
        std::fprintf(stderr,
                     "%s: instruments at http://THIS-MACHINE:%s/ for every device of the "
                     "network (here: http://127.0.0.1:%s/)\n",
                     kName, port.c_str(), port.c_str());
    } else {
        std::fprintf(stderr, "%s: instruments at http://%s:%s/\n", kName, o.bind.c_str(),
                     port.c_str());
    }
}

void print_summary(const ServeHealth& h, const ServeHttpSummary& web) {
    std::fprintf(stderr,
                 "%s: %llu datagrams, %llu malformed, %llu from other senders, %llu time "
                 "wraps; %llu pages opened the stream, %llu dropped for taking no data; arrival "
                 "to event written: p50 %lld us, p99 %lld us over %llu events\n",
                 kName, static_cast<unsigned long long>(h.datagrams),
                 static_cast<unsigned long long>(h.receiver.counts.malformed),
                 static_cast<unsigned long long>(h.receiver.counts.other_senders),
                 static_cast<unsigned long long>(h.receiver.times.wraps),
                 static_cast<unsigned long long>(web.readers),
                 static_cast<unsigned long long>(web.dropped),
                 static_cast<long long>(latency_percentile_us(web.latency, 0.50)),
                 static_cast<long long>(latency_percentile_us(web.latency, 0.99)),
                 static_cast<unsigned long long>(web.latency.count));
}

int run_serve(const ServeOptions& o) {
    ServeHealth health;
    ReceiveSocket in;
    std::string error;
    const AngleUnit angles = o.angles == "deg" ? AngleUnit::Degrees : AngleUnit::Radians;
    std::uint32_t bind_ip = 0;
    if (!make_sender_filter(kName, o.from, health.receiver.from)) return kExitFailed;
    if (!udp_resolve(o.bind, bind_ip, error) || !receive_open(in, o.port, 1, error)) {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        return kExitFailed;
    }
    ServeHttpPtr http = serve_http_start(bind_ip, o.http_port, error, o.hosts);
    if (!http) {
        std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
        receive_close(in);
        return kExitFailed;
    }
    print_address(o, serve_http_port(*http), health.receiver.from);
    const auto handle = [&](const UdpDatagram& d, std::span<const char> bytes, std::int64_t at) {
        take(health, angles, *http, d, bytes, at);
    };
    std::int64_t next_health_ns = receive_clock_ns();
    const int rc = receive_run(
        kName, o.limits, [] { return std::uint64_t{0}; },
        [&](int timeout_ms) {
            if (receive_wait(in, timeout_ms, handle) == UdpWait::Failed) return ReceiveStep::Failed;
            const std::int64_t now_ns = receive_clock_ns();
            if (now_ns >= next_health_ns) {
                serve_http_publish_health(
                    *http, health_event(health_figures(health, now_ns), angles, o.port));
                next_health_ns = now_ns + kHealthPeriodNs;
            }
            return ReceiveStep::GoOn;
        });
    receive_close(in);
    print_summary(health, serve_http_stop(std::move(http)));
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
    return {command, [o] { return run_serve(*o); }};
}
