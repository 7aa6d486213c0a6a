// The receiving loop of `g1 serve`: datagrams in, health kept, events handed to the web side.
#include "tools/g1/serve.h"

#include "tools/common/interrupt.h"
#include "tools/common/sender_filter.h"
#include "tools/common/udp.h"
#include "tools/g1/serve_event.h"
#include "tools/g1/serve_health.h"
#include "tools/g1/serve_http.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kExitNetwork = 1;
constexpr int kWaitMs = 200;                           // how often the loop looks at Ctrl+C
constexpr std::int64_t kHealthPeriodNs = 500'000'000;  // health events, data or none
constexpr std::uint64_t kMalformedShown = 10;          // then they are only counted
constexpr std::size_t kReceiveBuffer = 65536;

using Clock = std::chrono::steady_clock;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Receiver {
    ServeHealth health;
    SenderFilter filter;
    AngleUnit angles = AngleUnit::Radians;
};

void take(Receiver& r, ServeHttp& http, std::string_view datagram, UdpAddress from,
          std::int64_t arrival_ns) {
    if (!sender_filter_takes(r.filter, from.ip)) {
        ++r.health.ignored;
        return;
    }
    health_note_arrival(r.health, arrival_ns);
    const G1Parsed parsed = g1_parse(datagram);
    if (parsed.error != G1ParseError::None) {
        if (++r.health.malformed <= kMalformedShown) {
            std::fprintf(
                stderr, "g1 serve: malformed datagram from %s: %s%s\n",
                udp_address_text(from).c_str(), g1_parse_reason(parsed).c_str(),
                r.health.malformed == kMalformedShown ? " (further ones are counted)" : "");
        }
        return;
    }
    bool wrapped = false;
    const std::int64_t time_us =
        sender_times_unwrap(r.health.times, from.ip, parsed.fields[0], wrapped);
    serve_http_publish_datagram(http,
                                datagram_event(kDatagramEvent, r.health.datagrams,
                                               display_texts(parsed.fields, time_us, r.angles)),
                                arrival_ns);
}

void print_address(const ServeOptions& o, std::uint16_t http_port, const SenderFilter& filter) {
    const std::string port = std::to_string(http_port);
    std::fprintf(stderr, "g1 serve: datagrams from %s on %s\n", sender_filter_text(filter).c_str(),
                 udp_address_text({0, o.port}).c_str());
    if (o.bind == "0.0.0.0") {
        std::fprintf(stderr,
                     "g1 serve: instruments at http://THIS-MACHINE:%s/ for every device of the "
                     "network (here: http://127.0.0.1:%s/)\n",
                     port.c_str(), port.c_str());
    } else {
        std::fprintf(stderr, "g1 serve: instruments at http://%s:%s/\n", o.bind.c_str(),
                     port.c_str());
    }
}

void print_summary(const ServeHealth& h, const ServeHttpSummary& web) {
    std::fprintf(
        stderr,
        "g1 serve: %llu datagrams, %llu malformed, %llu from other senders, %llu time "
        "wraps; %llu pages opened the stream, %llu dropped for taking no data; arrival "
        "to event written: p50 %lld us, p99 %lld us over %llu events\n",
        static_cast<unsigned long long>(h.datagrams), static_cast<unsigned long long>(h.malformed),
        static_cast<unsigned long long>(h.ignored), static_cast<unsigned long long>(h.times.wraps),
        static_cast<unsigned long long>(web.readers), static_cast<unsigned long long>(web.dropped),
        static_cast<long long>(latency_percentile_us(web.latency, 0.50)),
        static_cast<long long>(latency_percentile_us(web.latency, 0.99)),
        static_cast<unsigned long long>(web.latency.count));
}

}  // namespace

CLI::App* add_serve_command(CLI::App& app, ServeOptions& o) {
    CLI::App* command = app.add_subcommand(
        "serve", "Show the datagrams live as instruments on a web page, for any browser");
    command->add_option("--port", o.port, "UDP port of the datagrams")->capture_default_str();
    command->add_option("--http", o.http_port, "TCP port of the web page")->capture_default_str();
    command->add_option("--bind", o.bind, "Address the web page is served on (0.0.0.0: all)")
        ->capture_default_str();
    command->add_option("--from", o.from,
                        "Take datagrams only from this sender, ADDR or ADDR/PREFIX; give as many "
                        "as needed");
    command->add_option("--angles", o.angles, "Unit of the angles on the wire")
        ->check(CLI::IsMember({"rad", "deg"}))
        ->capture_default_str();
    command->add_option("--seconds", o.seconds, "Stop after this many seconds (0: no limit)")
        ->check(CLI::NonNegativeNumber);
    return command;
}

int run_serve(const ServeOptions& o) {
    Receiver r;
    std::string error;
    r.angles = o.angles == "deg" ? AngleUnit::Degrees : AngleUnit::Radians;
    std::uint32_t bind_ip = 0;
    UdpSocket socket;
    for (const std::string& from : o.from) {
        if (!sender_filter_add(r.filter, from, error)) {
            std::fprintf(stderr, "g1 serve: %s\n", error.c_str());
            return kExitNetwork;
        }
    }
    if (!udp_resolve(o.bind, bind_ip, error) || !udp_open({0, o.port}, true, socket, error)) {
        std::fprintf(stderr, "g1 serve: %s\n", error.c_str());
        return kExitNetwork;
    }
    ServeHttpPtr http = serve_http_start(bind_ip, o.http_port, error);
    if (!http) {
        std::fprintf(stderr, "g1 serve: %s\n", error.c_str());
        udp_close(socket);
        return kExitNetwork;
    }
    print_address(o, serve_http_port(*http), r.filter);
    std::vector<char> buffer(kReceiveBuffer);
    const std::int64_t start_ns = now_ns();
    std::int64_t next_health_ns = start_ns;
    int rc = 0;
    while (!interrupt_requested() &&
           (o.seconds <= 0.0 || static_cast<double>(now_ns() - start_ns) < o.seconds * 1e9)) {
        UdpDatagram got;
        const UdpWait wait = udp_receive(socket, buffer, got, kWaitMs);
        const std::int64_t arrival_ns = now_ns();
        if (wait == UdpWait::Failed) {
            std::fprintf(stderr, "g1 serve: receiving failed\n");
            rc = kExitNetwork;
            break;
        }
        if (wait == UdpWait::Datagram)
            take(r, *http, {buffer.data(), got.length}, got.from, arrival_ns);
        if (arrival_ns >= next_health_ns) {
            serve_http_publish_health(
                *http, health_event(health_figures(r.health, arrival_ns), r.angles, o.port));
            next_health_ns = arrival_ns + kHealthPeriodNs;
        }
    }
    udp_close(socket);
    print_summary(r.health, serve_http_stop(std::move(http)));
    return rc;
}
