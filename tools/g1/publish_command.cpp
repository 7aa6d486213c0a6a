// `g1 publish`: its options and its loop; every G1 datagram the receive step takes goes to an MQTT
// broker as PREFIX/SENDER/g1, unchanged, and with --fields each value in the page's units as
// PREFIX/SENDER/NAME, at most --rate times a second per sender. Each sender's PREFIX/SENDER/status
// says online once it has sent steadily, and offline when it has been silent kSilentNs, when g1
// stops, and, by a last will, when g1 goes away without a word; it is removed when the sender
// leaves the sender table, so the broker keeps at most the table's statuses. One thread receives
// and publishes: each wait takes what has come, up to a batch, and its messages go to the broker
// at once in one write; while datagrams come close together, waits are kBrokerGatherNs apart. With
// --influx (alone or beside --broker) each datagram's values also go to InfluxDB: influx_writer.h.
#include "plugin/telemetry/g1_field_table.h"
#include "tools/common/sleep_precision.h"
#include "tools/common/udp.h"
#include "tools/g1/command.h"
#include "tools/g1/receive/sender_table.h"
#include "tools/g1/sinks/publish/influx_writer.h"
#include "tools/g1/sinks/publish/publish_pacing.h"
#include "tools/g1/sinks/text/display_texts.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>

namespace {

constexpr const char* kPublishName = "g1 publish";
constexpr double kFieldRateDefault = 20.0;
constexpr double kFieldRateMax = 1000.0;
constexpr std::int64_t kSilentNs = 5'000'000'000;
// A sender is announced once it has sent this many datagrams over at least this long, with no
// silence of kSilentNs between: one heard once or twice, a made-up address most often, never is.
constexpr std::uint32_t kSteadyDatagrams = 5;
constexpr std::int64_t kSteadyNs = 1'000'000'000;
// Each sender's status has a connection of its own; a network full of made-up senders opens
// them at most this often.
constexpr std::int64_t kStatusOpeningNs = 100'000'000;
constexpr std::int64_t kLinkStepNs = std::int64_t{kBrokerPublisherStepMs} * 1'000'000;
// While datagrams come closer together than this, each wait begins this long after the write
// before it and takes what came meanwhile as one batch (publish_pacing.h): the waking, the receive
// and the write to the broker, which cost several times what a datagram's own work does, are
// shared by the batch. To the broker, a live view, under a millisecond with the sleep's own
// lateness: at 3000 datagrams a second about three a batch. InfluxDB alone, a time series, takes
// more delay for fewer wakings.
constexpr std::int64_t kBrokerGatherNs = 800'000;
constexpr std::int64_t kInfluxGatherNs = 4'000'000;

struct PublishOptions {
    SourceTexts source;
    std::vector<std::string> from;
    ReceiveLimits limits;
    BrokerTexts broker;
    bool fields = false;
    double rate_hz = kFieldRateDefault;
    std::string angles = "rad";
    InfluxOptions influx;
};

struct PublishSender {
    bool online = false;     // its status connection is open
    bool announced = false;  // the broker keeps a status of it
    std::int64_t steady_since_ns = 0;
    std::uint32_t steady_datagrams = 0;  // since steady_since_ns
    std::int64_t last_heard_ns = 0;
    std::int64_t next_fields_ns = 0;
    std::string datagram_topic;
    std::array<std::string, kG1FieldCount> field_topics;
};

struct Publisher {
    Receiver receiver;
    SenderTable<PublishSender> senders;
    std::int64_t next_status_ns = 0;
};

PublishSender& sender_of(Publisher& p, BrokerLink& link, const std::string& prefix,
                         std::uint32_t ip) {
    auto& all = p.senders.senders;
    const bool known =
        std::any_of(all.begin(), all.end(), [ip](const auto& s) { return s.ip == ip; });
    if (!known && all.size() == kSenderTableMax) {  // the least recent one gives up its place
        const auto oldest = std::min_element(
            all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a.last_heard < b.last_heard; });
        if (oldest->state.announced) broker_sender_forget(link, oldest->ip);
        oldest->state.online = false;
        oldest->state.announced = false;
    }
    PublishSender& s = sender_state(p.senders, ip);
    if (s.datagram_topic.empty()) {
        s.datagram_topic = broker_topic(prefix, ip, kBrokerDatagramLeaf);
        for (std::size_t i = 0; i < kG1FieldCount; ++i) {
            s.field_topics[i] = broker_topic(prefix, ip, kG1FieldTable[i].name);
        }
    }
    return s;
}

// Announces the sender once it sends steadily, at most one a kStatusOpeningNs.
void note_heard(Publisher& p, BrokerLink& link, PublishSender& s, std::uint32_t ip,
                std::int64_t at_ns) {
    if (s.steady_datagrams == 0 || at_ns - s.last_heard_ns > kSilentNs) {
        s.steady_since_ns = at_ns;
        s.steady_datagrams = 0;
    }
    ++s.steady_datagrams;
    s.last_heard_ns = at_ns;
    const bool steady =
        s.steady_datagrams >= kSteadyDatagrams && at_ns - s.steady_since_ns >= kSteadyNs;
    if (s.online || !steady || at_ns < p.next_status_ns || !broker_sender_online(link, ip)) return;
    s.online = true;
    s.announced = true;
    p.next_status_ns = at_ns + kStatusOpeningNs;
}

void take(Publisher& p, BrokerLink* broker, const PublishOptions& o, const UdpDatagram& d,
          std::span<const char> bytes, std::int64_t at_ns, InfluxWriter* influx) {
    const Received got = receive_take(p.receiver, d, bytes);
    if (got.kind != Reception::G1) return;
    if (influx) influx_take(*influx, d.from.ip, got, at_ns);
    if (!broker) return;
    BrokerLink& link = *broker;
    PublishSender& s = sender_of(p, link, o.broker.prefix, d.from.ip);
    note_heard(p, link, s, d.from.ip, at_ns);
    broker_publish(link, s.datagram_topic, {bytes.data(), bytes.size()}, BrokerMessage::Datagram);
    if (!o.fields || at_ns < s.next_fields_ns) return;
    const auto period_ns = static_cast<std::int64_t>(1e9 / o.rate_hz);
    // On the rate's grid while datagrams come faster; a new grid after a pause, so no burst.
    s.next_fields_ns =
        at_ns - s.next_fields_ns >= period_ns ? at_ns + period_ns : s.next_fields_ns + period_ns;
    const AngleUnit angles = o.angles == "deg" ? AngleUnit::Degrees : AngleUnit::Radians;
    const DisplayTexts texts = display_texts(got.parsed.fields, got.time_us, angles);
    for (std::size_t i = 0; i < kG1FieldCount; ++i) {
        broker_publish(link, s.field_topics[i], texts[i], BrokerMessage::Value);
    }
}

void mark_silent_senders(Publisher& p, BrokerLink& link, std::int64_t now_ns) {
    for (auto& s : p.senders.senders) {
        if (s.state.online && now_ns - s.state.last_heard_ns > kSilentNs) {
            broker_sender_gone(link, s.ip);
            s.state.online = false;
        }
    }
}

int run_publish(const PublishOptions& o) {
    Publisher p;
    BrokerOptions options;
    std::string error;
    if (!make_sender_filter(kPublishName, o.from, p.receiver.from)) return kExitFailed;
    const bool to_broker = !o.broker.address.empty();
    if (!to_broker && o.influx.url.empty()) {
        std::fprintf(stderr, "%s: --broker or --influx is needed\n", kPublishName);
        return kExitBadInput;
    }
    if (to_broker && !make_broker_options(kPublishName, o.broker, options)) return kExitBadInput;
    if (const std::string& from = o.source.broker.address; to_broker && !from.empty()) {
        BrokerOptions source;
        if (!make_broker_options(kPublishName, o.source.broker, source)) return kExitBadInput;
        if (source.host == options.host && source.port == options.port) {
            std::fprintf(stderr,
                         "%s: --subscribe names the broker it publishes to: it would take its "
                         "own messages again\n",
                         kPublishName);
            return kExitBadInput;
        }
    }
    G1Source in;
    if (const int rc = source_open(kPublishName, o.source, kUdpBatchMax, in); rc != 0) return rc;
    InfluxWriterPtr influx;
    if (!o.influx.url.empty() && !(influx = influx_writer_start(o.influx, error))) {
        std::fprintf(stderr, "%s: %s\n", kPublishName, error.c_str());
        source_close(kPublishName, in);
        return kExitBadInput;
    }
    BrokerLinkPtr link = to_broker ? broker_publisher_start(options, error) : nullptr;
    if (to_broker && !link) {
        std::fprintf(stderr, "%s: %s\n", kPublishName, error.c_str());
        source_close(kPublishName, in);
        return kExitBadInput;
    }
    std::fprintf(stderr, "%s: datagrams %s; from %s", kPublishName, in.text.c_str(),
                 sender_filter_text(p.receiver.from).c_str());
    if (to_broker) {
        std::fprintf(stderr, " to the broker at %s:%u as %s", options.host.c_str(),
                     static_cast<unsigned>(options.port),
                     (options.prefix + "/SENDER/" + std::string(kBrokerDatagramLeaf)).c_str());
    }
    if (o.fields) std::fprintf(stderr, ", their values at most %g a second per sender", o.rate_hz);
    if (influx) std::fprintf(stderr, ", their values to InfluxDB at %s", o.influx.url.c_str());
    if (influx && o.influx.rate_hz > 0) std::fprintf(stderr, " at most %g a second", o.rate_hz);
    std::fputc('\n', stderr);
    std::size_t taken = 0;  // by the last wait
    // Made once: a lambda made a handler at every wait is copied to the heap each time.
    const ReceiveHandler handle = [&](const UdpDatagram& d, std::span<const char> bytes,
                                      std::int64_t at) {
        ++taken;
        take(p, link.get(), o, d, bytes, at, influx.get());
    };
    bool refused = false;
    PublishPacing pacing{link ? kBrokerGatherNs : kInfluxGatherNs};
    precise_sleeps();  // a gathering's lateness adds to every datagram it takes
    std::int64_t next_step_ns = 0;
    const int rc = receive_run(
        kPublishName, o.limits, [&] { return p.receiver.counts.datagrams; },
        [&](int timeout_ms) {
            const int wait_ms = std::min(timeout_ms, kBrokerPublisherStepMs);
            taken = 0;
            bool gathered = false;
            if (in.on_demand && link && !broker_connected(*link)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            } else {
                ReceiveStep step = ReceiveStep::GoOn;
                if (pacing.gathering) {
                    const std::int64_t gather_ns = pacing.next_wait_ns - receive_clock_ns();
                    if (gather_ns > 0)
                        std::this_thread::sleep_for(std::chrono::nanoseconds(gather_ns));
                    step = source_step(in, 0, handle);
                    gathered = taken > 0;
                }
                // Nothing gathered, or no gathering: the wait.
                if (step == ReceiveStep::GoOn && taken == 0)
                    step = source_step(in, wait_ms, handle);
                if (step != ReceiveStep::GoOn) return step;
            }
            const std::int64_t woke_ns = receive_clock_ns();
            if (link) broker_publisher_flush(*link);
            if (influx) influx_flush(*influx);
            const std::int64_t now_ns = receive_clock_ns();
            publish_pacing_note(pacing, gathered, woke_ns, taken, taken >= kUdpBatchMax, now_ns);
            if (now_ns < next_step_ns) return ReceiveStep::GoOn;
            next_step_ns = now_ns + kLinkStepNs;
            const std::string influx_refused = influx ? influx_refusal(*influx) : "";
            if (!influx_refused.empty())
                std::fprintf(stderr, "%s: %s\n", kPublishName, influx_refused.c_str());
            refused = !influx_refused.empty();
            if (!link) return refused ? ReceiveStep::Stop : ReceiveStep::GoOn;
            broker_publisher_step(*link);
            mark_silent_senders(p, *link, now_ns);
            refused = refused || !broker_refusal(*link).empty();
            return refused ? ReceiveStep::Stop : ReceiveStep::GoOn;
        });
    source_close(kPublishName, in);
    if (influx) std::fprintf(stderr, "%s\n", influx_writer_close(std::move(influx)).c_str());
    if (!link) return refused ? kExitFailed : rc;
    // Each sender's status offline, then what is queued, then goodbye.
    const BrokerCounts counts = broker_publisher_stop(std::move(link));
    std::fprintf(stderr,
                 "%s: published %llu datagrams and %llu values, dropped %llu messages the broker "
                 "could not take, %llu reconnects; %llu malformed, %llu from other senders\n",
                 kPublishName, static_cast<unsigned long long>(counts.datagrams),
                 static_cast<unsigned long long>(counts.values),
                 static_cast<unsigned long long>(counts.dropped),
                 static_cast<unsigned long long>(counts.reconnects),
                 static_cast<unsigned long long>(p.receiver.counts.malformed),
                 static_cast<unsigned long long>(p.receiver.counts.other_senders));
    return refused ? kExitFailed : rc;
}

}  // namespace

G1Command add_publish_command(CLI::App& app) {
    const auto o = std::make_shared<PublishOptions>();
    CLI::App* command = app.add_subcommand(
        "publish",
        "Publish every G1 datagram, and if asked its values, to an MQTT broker; its values to "
        "InfluxDB");
    // Its --broker is where it publishes to, and --rate the values' rate: its broker source is
    // --subscribe, with the same prefix and credentials, and the scenario's rate --fly-rate.
    add_source_options(*command, o->source, kEverySource, "--fly-rate", "--subscribe");
    add_from_option(*command, o->from);
    add_limit_options(*command, o->limits, "datagrams");
    add_broker_options(*command, o->broker, "to publish to");
    add_influx_options(*command, o->influx);
    command->add_flag("--fields", o->fields,
                      "Also publish each value, in the page's units, to PREFIX/SENDER/NAME");
    command->add_option("--rate", o->rate_hz, "Values published a second per sender at most")
        ->check(CLI::Range(0.1, kFieldRateMax))
        ->capture_default_str();
    command->add_option("--angles", o->angles, "Unit of the angles on the wire")
        ->check(CLI::IsMember({"rad", "deg"}))
        ->capture_default_str();
    return {command, [o, command] {
                o->influx.command = kPublishName;
                const std::string subscribe = o->source.broker.address;
                o->source.broker = o->broker;
                o->source.broker.address = subscribe;
                o->influx.rate_hz = command->count("--rate") > 0 ? o->rate_hz : 0.0;
                o->influx.angles = o->angles == "deg" ? AngleUnit::Degrees : AngleUnit::Radians;
                return run_publish(*o);
            }};
}
