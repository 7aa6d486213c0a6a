// The receiving loop of `g1 record`: datagrams in, as `g1 listen` takes them, records out.
#include "tools/g1/record.h"

#include "plugin/telemetry/g1_parse.h"
#include "tools/common/interrupt.h"
#include "tools/common/sender_filter.h"
#include "tools/common/udp.h"
#include "tools/g1/pcap_file.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kExitNetwork = 1;
constexpr int kExitFile = 2;
constexpr int kWaitMs = 200;  // how often the loop looks at the clock and at Ctrl+C
constexpr std::size_t kReceiveBuffer = 65536;

using Clock = std::chrono::steady_clock;

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Recorder {
    PcapWriter writer;
    PcapDatagram datagram;
    std::uint64_t malformed = 0;
    std::uint64_t other_senders = 0;
    // The address a unicast datagram came to, found once per sender: the socket listens on
    // every address and the system does not say which one answered.
    std::uint32_t last_sender = 0;
    std::uint32_t last_destination = 0;
};

std::uint32_t destination_of(Recorder& r, const UdpDatagram& got) {
    if (got.broadcast) return kLimitedBroadcastIp;  // a subnet's broadcast is recorded as this
    if (got.from.ip != r.last_sender || r.last_destination == 0) {
        r.last_sender = got.from.ip;
        if (!udp_source_for(got.from, r.last_destination)) r.last_destination = 0;
    }
    return r.last_destination;
}

bool go_on(const RecordOptions& o, std::uint64_t done, Clock::time_point start) {
    if (interrupt_requested()) return false;
    if (o.count != 0 && done >= o.count) return false;
    const std::chrono::duration<double> ran = Clock::now() - start;
    return o.seconds <= 0.0 || ran.count() < o.seconds;
}

}  // namespace

CLI::App* add_record_command(CLI::App& app, RecordOptions& o) {
    CLI::App* c = app.add_subcommand(
        "record",
        "Write every datagram received, with its arrival time and sender, to a pcap file "
        "(Wireshark, tshark and tcpdump read it; g1 send --replay plays it)");
    c->add_option("FILE", o.file, "The pcap file to write (replaced if it exists)")->required();
    c->add_option("--port", o.port, "UDP port")->capture_default_str();
    c->add_option("--from", o.from,
                  "Take datagrams only from this sender, ADDR or ADDR/PREFIX; give as many as "
                  "needed (default: every sender)");
    c->add_option("--count", o.count, "Stop after this many datagrams (0: no limit)");
    c->add_option("--seconds", o.seconds, "Stop after this many seconds (0: no limit)")
        ->check(CLI::NonNegativeNumber);
    return c;
}

int run_record(const RecordOptions& o) {
    UdpSocket socket;
    SenderFilter from;
    std::string error;
    for (const std::string& text : o.from) {
        if (!sender_filter_add(from, text, error)) {
            std::fprintf(stderr, "g1 record: %s\n", error.c_str());
            return kExitNetwork;
        }
    }
    if (!udp_open({0, o.port}, true, socket, error)) {
        std::fprintf(stderr, "g1 record: %s\n", error.c_str());
        return kExitNetwork;
    }
    Recorder r;
    if (!pcap_writer_open(r.writer, o.file, error)) {
        std::fprintf(stderr, "g1 record: %s\n", error.c_str());
        udp_close(socket);
        return kExitFile;
    }
    std::fprintf(stderr, "g1 record: on %s from %s, to %s\n", udp_address_text({0, o.port}).c_str(),
                 sender_filter_text(from).c_str(), o.file.c_str());
    int rc = 0;
    std::vector<char> buffer(kReceiveBuffer);
    const Clock::time_point start = Clock::now();
    while (go_on(o, r.writer.datagrams, start)) {
        UdpDatagram got;
        const UdpWait wait = udp_receive(socket, buffer, got, kWaitMs);
        if (wait == UdpWait::Failed) {
            std::fprintf(stderr, "g1 record: receiving failed\n");
            rc = kExitNetwork;
            break;
        }
        if (wait != UdpWait::Datagram) continue;
        if (!sender_filter_takes(from, got.from.ip)) {
            ++r.other_senders;
            continue;
        }
        r.datagram.time_ns = wall_ns();
        r.datagram.from = got.from;
        r.datagram.to = {destination_of(r, got), o.port};
        r.datagram.payload.assign(buffer.data(), got.length);
        if (g1_parse(r.datagram.payload).error != G1ParseError::None) ++r.malformed;
        if (!pcap_writer_add(r.writer, r.datagram, error)) {
            std::fprintf(stderr, "g1 record: %s (%s holds the datagrams before it)\n",
                         error.c_str(), o.file.c_str());
            rc = kExitFile;
            break;
        }
    }
    udp_close(socket);
    pcap_writer_close(r.writer);
    const std::chrono::duration<double> ran = Clock::now() - start;
    std::fprintf(stderr,
                 "g1 record: %llu datagrams (%llu not well-formed G1) in %.1f s to %s, %llu "
                 "bytes",
                 static_cast<unsigned long long>(r.writer.datagrams),
                 static_cast<unsigned long long>(r.malformed), ran.count(), o.file.c_str(),
                 static_cast<unsigned long long>(r.writer.bytes));
    if (r.other_senders != 0) {
        std::fprintf(stderr, "; %llu from other senders ignored",
                     static_cast<unsigned long long>(r.other_senders));
    }
    std::fprintf(stderr, "\n");
    return rc;
}
