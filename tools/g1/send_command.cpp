// `g1 send`: G1 on the wire without a simulator, as the plug-in sends it (to 255.255.255.255,
// port 50010, unless told otherwise): the UDP sink of a recording played back at its own pace, or
// of a built-in scenario of the host emulator flown here, the datagrams the plug-in would send
// for its frames. Its options and its loop; the pacing is the source's.
#include "tools/g1/command.h"

#include "tools/common/interrupt.h"
#include "tools/common/udp.h"
#include "tools/g1/sinks/relay/relay.h"

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

constexpr const char* kSendName = "g1 send";

struct SendOptions {
    SourceTexts source;  // a recording or a scenario
    std::string to;      // HOST:PORT; empty: the plug-in's destination
    ReceiveLimits limits;
};

constexpr int kExitNetwork = 1;

using Clock = std::chrono::steady_clock;

struct Sender {
    UdpSocket socket;
    UdpAddress to{kLimitedBroadcastIp, kG1Port};
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
};

void fail(const std::string& message) {
    std::fprintf(stderr, "g1 send: %s\n", message.c_str());
}

bool open_sender(const SendOptions& o, Sender& s, std::string& error) {
    std::string host;
    if (!o.to.empty() &&
        (!relay_parse_target(o.to, host, s.to.port, error) || !udp_resolve(host, s.to.ip, error))) {
        return false;
    }
    if (s.to.ip == 0) {
        error = udp_address_text(s.to) + " is no address to send to";
        return false;
    }
    if (!udp_open({0, 0}, false, s.socket, error)) return false;
    if (!udp_allow_broadcast(s.socket, error)) {
        udp_close(s.socket);
        return false;
    }
    return true;
}

void send_one(Sender& s, std::string_view bytes) {
    if (udp_send(s.socket, s.to, {bytes.data(), bytes.size()})) {
        ++s.sent;
    } else {
        ++s.failed;  // a transient failure (no route yet) does not end the stream
    }
}

std::string sent_text(const Sender& s, Clock::time_point start) {
    const std::chrono::duration<double> ran = Clock::now() - start;
    char text[160];
    std::snprintf(text, sizeof text, "%llu datagrams to %s in %.1f s",
                  static_cast<unsigned long long>(s.sent), udp_address_text(s.to).c_str(),
                  ran.count());
    std::string summary = text;
    if (s.failed != 0) summary += ", " + std::to_string(s.failed) + " sends failed";
    return summary;
}

CLI::App* add_send_options(CLI::App& app, SendOptions& o) {
    CLI::App* c = app.add_subcommand(
        "send",
        "Send G1 as the plug-in does, to 255.255.255.255:50010: a recording played back, or a "
        "scenario of the host emulator flown here");
    add_source_options(*c, o.source, kSourceReplay | kSourceFly);
    c->add_option("--to", o.to, "Send to HOST:PORT instead (unicast, or another broadcast)");
    add_limit_options(*c, o.limits, "datagrams");
    return c;
}

int run_send(const SendOptions& o) {
    G1Source in;
    if (const int rc = source_open(kSendName, o.source, 1, in, true); rc != 0) {
        return interrupt_requested() ? 0 : rc;  // Ctrl+C while loading: stopped, as asked
    }
    Sender s;
    std::string error;
    if (!open_sender(o, s, error)) {
        fail(error);
        in.close();
        return kExitNetwork;
    }
    std::fprintf(stderr, "%s: %s, to %s\n", kSendName, in.text.c_str(),
                 udp_address_text(s.to).c_str());
    const auto start = std::chrono::steady_clock::now();
    const auto send = [&](const UdpDatagram&, std::span<const char> bytes, std::int64_t) {
        send_one(s, {bytes.data(), bytes.size()});
    };
    // A count of frames, for a scenario, counts those left out on purpose too.
    const int rc = receive_run(
        kSendName, o.limits, [&] { return s.sent + s.failed + in.left_out(); },
        [&](int timeout_ms) { return source_step(in, timeout_ms, send); });
    const std::string summary = sent_text(s, start) + in.close();
    std::fprintf(stderr, "%s: %s\n", kSendName, summary.c_str());
    udp_close(s.socket);
    return rc;
}

}  // namespace

G1Command add_send_command(CLI::App& app) {
    const auto o = std::make_shared<SendOptions>();
    CLI::App* command = add_send_options(app, *o);
    return {command, [o] { return run_send(*o); }};
}
