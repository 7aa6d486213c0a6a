// `g1 record FILE`: every datagram that `g1 listen` would take, written with its arrival time
// and sender to a capture file that packet analysers open and `g1 send --replay` plays.
// Its options and its loop: each datagram goes through the receive step, as `g1 listen` takes it,
// and every one taken is written.
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/pcap/pcap_file.h"

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

constexpr const char* kRecordName = "g1 record";
constexpr int kExitFile = 2;

struct RecordOptions {
    std::string file;
    SourceTexts source;
    std::vector<std::string> from;  // ADDR[/PREFIX] each; none: every sender
    ReceiveLimits limits;
};

// The capture file's times are calendar times, as packet analysers show them; the loop's own
// timing is the receive clock's.
std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Recorder {
    Receiver receiver;
    PcapWriter writer;
    PcapDatagram datagram;
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

// Writes the datagram if the receive step takes it; false when the file could not take it.
bool take(Recorder& r, std::uint16_t port, const UdpDatagram& got, std::span<const char> bytes,
          std::string& error) {
    const Received received = receive_take(r.receiver, got, bytes);
    if (received.kind == Reception::OtherSender || received.kind == Reception::NotBroadcast) {
        return true;
    }
    r.datagram.time_ns = wall_ns();
    r.datagram.from = got.from;
    r.datagram.to = {destination_of(r, got), port};
    r.datagram.payload.assign(bytes.data(), bytes.size());
    return pcap_writer_add(r.writer, r.datagram, error);
}

int run_record(const RecordOptions& o) {
    Recorder r;
    G1Source in;
    std::string error;
    if (!make_sender_filter(kRecordName, o.from, r.receiver.from)) return kExitFailed;
    if (const int rc = source_open(kRecordName, o.source, 1, in); rc != 0) return rc;
    if (!pcap_writer_open(r.writer, o.file, error)) {
        std::fprintf(stderr, "%s: %s\n", kRecordName, error.c_str());
        source_close(kRecordName, in);
        return kExitFile;
    }
    std::fprintf(stderr, "%s: %s; from %s, to %s\n", kRecordName, in.text.c_str(),
                 sender_filter_text(r.receiver.from).c_str(), o.file.c_str());
    // Sent to the port, as far as the file goes, whatever the source.
    const std::uint16_t port = o.source.port;
    bool file_failed = false;
    const auto handle = [&](const UdpDatagram& got, std::span<const char> bytes, std::int64_t) {
        if (file_failed || take(r, port, got, bytes, error)) return;
        std::fprintf(stderr, "%s: %s (%s holds the datagrams before it)\n", kRecordName,
                     error.c_str(), o.file.c_str());
        file_failed = true;
    };
    const std::int64_t start_ns = receive_clock_ns();
    int rc = receive_run(
        kRecordName, o.limits, [&] { return r.writer.datagrams; },
        [&](int timeout_ms) {
            const ReceiveStep step = source_step(in, timeout_ms, handle);
            return file_failed && step == ReceiveStep::GoOn ? ReceiveStep::Stop : step;
        });
    if (file_failed) rc = kExitFile;
    source_close(kRecordName, in);
    pcap_writer_close(r.writer);
    const double ran_s = static_cast<double>(receive_clock_ns() - start_ns) / 1e9;
    std::fprintf(stderr,
                 "%s: %llu datagrams (%llu not well-formed G1) in %.1f s to %s, %llu "
                 "bytes",
                 kRecordName, static_cast<unsigned long long>(r.writer.datagrams),
                 static_cast<unsigned long long>(r.receiver.counts.malformed), ran_s,
                 o.file.c_str(), static_cast<unsigned long long>(r.writer.bytes));
    if (r.receiver.counts.other_senders != 0) {
        std::fprintf(stderr, "; %llu from other senders ignored",
                     static_cast<unsigned long long>(r.receiver.counts.other_senders));
    }
    std::fprintf(stderr, "\n");
    return rc;
}

}  // namespace

G1Command add_record_command(CLI::App& app) {
    const auto o = std::make_shared<RecordOptions>();
    CLI::App* c = app.add_subcommand(
        "record",
        "Write every datagram received, with its arrival time and sender, to a pcap file "
        "(Wireshark, tshark and tcpdump read it; g1 send --replay plays it)");
    c->add_option("FILE", o->file, "The pcap file to write (replaced if it exists)")->required();
    add_source_options(*c, o->source, kEverySource);
    add_from_option(*c, o->from);
    add_limit_options(*c, o->limits, "datagrams");
    return {c, [o] { return run_record(*o); }};
}
