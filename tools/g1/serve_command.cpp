// `g1 serve`: its options and its loop; receives the G1 datagrams as `g1 listen` does and shows
// them, live, as instruments on a web page that any browser of the network can open. Datagrams
// from the port are taken on the web side's I/O thread, which writes them to the pages right
// away; a broker's or a scenario's come on this thread's loop, which leaves each sender's latest
// datagram for the web side. Either way, the one thread that takes them keeps the health too. A
// recording is played on the web side's thread instead, with a timeline the pages control. Once
// running, g1 serve writes its log through the log queue, so a stderr that blocks holds up
// neither side.
#include "tools/common/interrupt.h"
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/sinks/serve/log_queue.h"
#include "tools/g1/sinks/serve/serve_admission.h"
#include "tools/g1/sinks/serve/serve_event.h"
#include "tools/g1/sinks/serve/serve_health.h"
#include "tools/g1/sinks/serve/serve_http.h"
#include "tools/g1/sinks/serve/serve_replay.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

constexpr const char* kServeName = "g1 serve";
constexpr std::uint16_t kServeHttpPort = 8080;
constexpr std::int64_t kHealthPeriodNs = 500'000'000;  // health events, data or none
constexpr std::uint64_t kMalformedShown = 10;          // then they are only counted
constexpr int kLogDrainMs = 2000;                  // at the end, for the log to reach a slow stderr
constexpr std::int64_t kReplayTickNs = 5'000'000;  // a replay hands on what became due
constexpr std::size_t kServeReceiveBatch = 16;     // datagrams a receive takes at most

struct ServeOptions {
    SourceTexts source;
    std::uint16_t http_port = kServeHttpPort;
    std::string bind = "0.0.0.0";
    std::vector<std::string> from;   // ADDR[/PREFIX] each; none: every sender
    std::vector<std::string> hosts;  // names the page is opened by, beyond this machine's own
    std::string angles = "rad";
    ReceiveLimits limits;  // seconds only
};

// What the page names to check when nothing comes.
const char* hint_name(SourceHint hint) {
    switch (hint) {
        case SourceHint::Broker: return "broker";
        case SourceHint::Replay: return "replay";
        case SourceHint::Fly: return "fly";
        case SourceHint::Port: break;
    }
    return "port";
}

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

// `time_us`, for a replay: the sender's running time over the whole recording, which a seek
// hides from the receive step.
void take(ServeHealth& h, ServeHttp& http, RefusalLog& turned_away, const UdpDatagram& d,
          std::span<const char> bytes, std::int64_t arrival_ns,
          std::optional<std::int64_t> time_us = std::nullopt) {
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
    if (!serve_http_publish_datagram(
            http, d.from.ip, {time_us.value_or(got.time_us), got.parsed.fields}, arrival_ns)) {
        note_turned_away(turned_away, d.from.ip, arrival_ns);
    }
}

// Every URL the page can be opened at: on each address of this machine when served on all.
void print_addresses(const G1Source& in, std::uint32_t bind_ip, std::uint16_t http_port,
                     const SenderFilter& filter) {
    LogQueue& log = tool_log();
    log_line(log, "%s: datagrams %s; from %s", kServeName, in.text.c_str(),
             sender_filter_text(filter).c_str());
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

// A recording instead of a live source: its playback runs on the web side's thread, between the
// pages' work, and this thread keeps only Ctrl+C and the time limit.
struct ServeReplaySide {
    ServeReplay replay;
    ServeReplayOutput out;
};

void play_replay(ServeReplaySide& side, ServeHealth& health, ServeHttp& server,
                 RefusalLog& turned_away, const std::function<void(std::int64_t)>& publish_health) {
    ServeReplay& replay = side.replay;
    side.out.datagram = [&](const UdpDatagram& d, std::span<const char> bytes, std::int64_t time_us,
                            std::int64_t now_ns) {
        take(health, server, turned_away, d, bytes, now_ns, time_us);
    };
    side.out.jumped = [&health] {
        health.receiver.links = {};  // gaps, losses and drift across a seek are not the link's
        health.receiver.times = {};
    };
    side.out.moment = [&](std::uint32_t ip, const SenderHistory& history,
                          const SenderSample* latest, std::int64_t now_ns) {
        if (!serve_http_publish_moment(server, ip, history, latest, now_ns)) {
            note_turned_away(turned_away, ip, now_ns);
        }
    };
    const auto tick = [&side, &server](std::int64_t now_ns) {
        const Playback before = side.replay.playback;
        std::string error;
        if (!serve_replay_tick(side.replay, now_ns, side.out, error)) {
            log_line(tool_log(), "%s: %s", kServeName, error.c_str());
            return false;
        }
        // Looped round or ended: the pages are told at once, not at the next period.
        const Playback& after = side.replay.playback;
        if (after.jumps != before.jumps || after.paused != before.paused) {
            serve_http_publish_playback(server, serve_replay_event(side.replay, now_ns));
        }
        return true;
    };
    ServeHttpPlayback playback;
    playback.tick = tick;
    playback.tick_ns = kReplayTickNs;
    playback.period_ns = kHealthPeriodNs;
    playback.every_period = [&, publish_health] {
        const std::int64_t now_ns = receive_clock_ns();
        publish_health(now_ns);
        serve_http_publish_playback(server, serve_replay_event(replay, now_ns));
    };
    playback.control = [&, tick](std::string_view query, std::int64_t now_ns, std::string& answer) {
        if (!playback_control(replay.playback, query, now_ns, answer)) return false;
        tick(now_ns);  // a seek shows its moment at once
        answer = playback_json(replay.playback, now_ns, replay.about);
        serve_http_publish_playback(server, serve_replay_event(replay, now_ns));
        return true;
    };
    playback.describe = [&replay] { return serve_replay_event(replay, receive_clock_ns()); };
    serve_http_play(server, std::move(playback));
}

// Opens the recording with its time index, for the timeline's seeks. `in` only describes it.
int open_replay(const SourceTexts& texts, ServeHealth& health, ServeReplaySide& side,
                G1Source& in) {
    if (const int rc = source_checked(kServeName, texts); rc != 0) return rc;
    const ReplayOptions& r = texts.replay;
    std::string error;
    if (!(r.speed >= kPlaybackSlowest && r.speed <= kPlaybackFastest)) {
        std::fprintf(stderr, "%s: --speed must be from %g to %g\n", kServeName, kPlaybackSlowest,
                     kPlaybackFastest);
        return kExitBadInput;
    }
    if (r.all) {  // the page reads each datagram's values: a malformed one has none to show
        std::fprintf(stderr, "%s: --all does not apply: the page shows well-formed G1 only\n",
                     kServeName);
        return kExitBadInput;
    }
    std::optional<std::uint32_t> sender;
    if ((!r.sender.empty() && !udp_resolve(r.sender, sender.emplace(), error)) ||
        !serve_replay_open(side.replay, r.file, sender, health.receiver.from, r.speed, r.loop,
                           receive_clock_ns(), error, interrupt_requested)) {
        std::fprintf(stderr, "%s: %s\n", kServeName, error.c_str());
        return interrupt_requested() ? 0 : kExitBadInput;
    }
    if (!side.replay.index.truncated.empty()) {
        std::fprintf(stderr,
                     "%s: %s is cut short: %s; playing the whole datagrams before the cut\n",
                     kServeName, r.file.c_str(), side.replay.index.truncated.c_str());
    }
    char text[64];
    std::snprintf(text, sizeof text, " at %g times its pace%s", r.speed, r.loop ? ", looped" : "");
    in.text = "played from " + r.file + text;
    in.hint = SourceHint::Replay;
    return 0;
}

int run_serve(const ServeOptions& o) {
    ServeHealth health;
    G1Source in;
    std::string error;
    const AngleUnit angles = o.angles == "deg" ? AngleUnit::Degrees : AngleUnit::Radians;
    std::uint32_t bind_ip = 0;
    if (!make_sender_filter(kServeName, o.from, health.receiver.from)) return kExitFailed;
    if (!udp_resolve(o.bind, bind_ip, error)) {
        std::fprintf(stderr, "%s: %s\n", kServeName, error.c_str());
        return kExitFailed;
    }
    const auto side = std::make_unique<ServeReplaySide>();
    if (!o.source.replay.file.empty()) {
        if (const int rc = open_replay(o.source, health, *side, in); rc != 0) return rc;
    } else if (const int rc = source_open(kServeName, o.source, kServeReceiveBatch, in); rc != 0) {
        return rc;
    }
    ServeHttpPtr http = serve_http_start(bind_ip, o.http_port, error, angles, o.hosts);
    if (!http) {
        std::fprintf(stderr, "%s: %s\n", kServeName, error.c_str());
        source_close(kServeName, in);
        return kExitFailed;
    }
    log_start(tool_log());
    print_addresses(in, bind_ip, serve_http_port(*http), health.receiver.from);
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
            server, health_event(figures, angles, o.source.port, {senders.data(), n}, links,
                                 hint_name(in.hint)));
    };
    const auto none_counted = [] { return std::uint64_t{0}; };
    const auto receiving = [&](int timeout_ms) { return serve_http_receiving(*http, timeout_ms); };
    int rc = 0;
    if (!o.source.replay.file.empty()) {
        play_replay(*side, health, server, turned_away, publish_health);
        rc = receive_idle(kServeName, o.limits, receiving);
    } else if (in.socket != nullptr) {
        // A receive that comes back short of its batch has emptied the socket: no second one
        // to find it so.
        std::size_t taken = 0;
        const ReceiveHandler counted = [&](const UdpDatagram& d, std::span<const char> bytes,
                                           std::int64_t at) {
            ++taken;
            handle(d, bytes, at);
        };
        const auto receive = [&] {
            taken = 0;
            const UdpWait got = in.wait(0, counted);
            return got == UdpWait::Datagram && taken < kServeReceiveBatch ? UdpWait::Timeout : got;
        };
        // This thread keeps only Ctrl+C and the time limit.
        if (!serve_http_receive(
                *http, *in.socket, receive, [&] { publish_health(receive_clock_ns()); },
                kHealthPeriodNs, error)) {
            log_line(tool_log(), "%s: %s", kServeName, error.c_str());
            rc = kExitFailed;
        } else {
            rc = receive_idle(kServeName, o.limits, receiving);
        }
    } else {
        std::int64_t next_health_ns = receive_clock_ns();
        // A recording played to its end leaves the page on its last moment until Ctrl+C.
        rc = receive_run(kServeName, o.limits, none_counted, [&](int timeout_ms) {
            if (in.wait(timeout_ms, handle) == UdpWait::Failed) return ReceiveStep::Failed;
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
    if (const std::string words = in.close(); !words.empty()) {
        log_line(tool_log(), "%s: %s", kServeName, words.c_str() + 2);
    }
    print_summary(health, web, senders_turned_away);
    // A stderr that takes nothing would hold the exit too (the runtime's stream lock): end
    // without the runtime's clean-up then.
    if (!log_stop(tool_log(), kLogDrainMs)) std::_Exit(rc);
    return rc;
}

// A debrief: a recording on the page, with a timeline to play, pause and seek it.

}  // namespace

G1Command add_serve_command(CLI::App& app) {
    const auto o = std::make_shared<ServeOptions>();
    CLI::App* command = app.add_subcommand(
        "serve", "Show the datagrams live as instruments on a web page, for any browser");
    add_source_options(*command, o->source, kEverySource);
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
