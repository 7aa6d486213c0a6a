// The broker connection on the MQTT C library, kept by the receiving thread: connect or reconnect
// when due (backoff doubling from 1 s to 30 s, each attempt on a thread of its own), else let the
// library read, write and ping. The library calls back on the stepping thread. A publisher's
// messages go out from the same thread, a batch at a time, with no thread of the library's to wake
// for each one: on a plain connection laid end to end in one buffer, written with one call (the
// library's queue costs a wake-up write and a write per message); over TLS through the library.
#include "tools/g1/mqtt/broker_client.h"

#include "plugin/telemetry/g1_datagram.h"
#include "tools/common/udp.h"
#include "tools/g1/mqtt/mqtt_packet.h"
#include "tools/g1/mqtt/stream_writes.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kKeepaliveS = 10;  // a silent connection is found dead within 1.5 times this
constexpr std::int64_t kBackoffFirstNs = 1'000'000'000;
constexpr std::int64_t kBackoffMaxNs = 30'000'000'000;
constexpr std::int64_t kFarewellNs = 2'000'000'000;  // closing: time to send what is queued
constexpr int kFarewellStepMs = 100;
constexpr int kStatusQos = 1;  // few messages, and the last one of a sender must not be lost
// How long closing a status connection waits for the broker to acknowledge its last message:
// what the main connection says of the sender next must come after it, and connections are
// read in no set order.
constexpr auto kStatusAckWait = std::chrono::milliseconds(200);
constexpr int kMessagesAWait = 256;  // a wait that brought messages takes what else is waiting
// A publisher's messages not yet taken by a connection that takes nothing for now: some seconds
// of 50 senders' datagrams; beyond it new ones are dropped and counted.
constexpr std::size_t kOwnUnwrittenMax = 4 << 20;

// A subscriber's largest packet: the fixed header (type and at most 4 bytes of length), the
// topic's length and the longest topic, the properties' length and room for a few a publisher may
// have set (an expiry, a format, a content type), then the longest G1 datagram.
constexpr std::size_t kPacketHeaderMax = 5;
constexpr std::size_t kTopicMax = 2 + kBrokerPrefixMax +
                                  std::string_view("/255.255.255.255/").size() +
                                  kBrokerDatagramLeaf.size();
constexpr std::size_t kPropertiesRoom = 64;
constexpr std::size_t kSubscriberPacketMax =
    kPacketHeaderMax + kTopicMax + kPropertiesRoom + kG1MaxLength;

// Refusals that may pass: the broker is up but not serving yet, or busy (MQTT 3.1.1's one, and
// MQTT 5's).
bool refusal_passes(int rc, bool v5) {
    if (!v5) return rc == 3;
    return rc == MQTT_RC_SERVER_UNAVAILABLE || rc == MQTT_RC_SERVER_BUSY ||
           rc == MQTT_RC_QUOTA_EXCEEDED || rc == MQTT_RC_CONNECTION_RATE_EXCEEDED;
}

void library_init() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// The library's words for `rc`, or the system's for a system call's failure, without a full stop.
std::string failure_text(int rc) {
    std::string text = rc == MOSQ_ERR_ERRNO ? udp_error_text(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

// A sender's connection that carries only its status, so that its last will is that sender's
// "offline". The library's own thread keeps it and reconnects it.
struct StatusLink {
    std::uint32_t ip = 0;
    std::string topic;
    mosquitto* m = nullptr;
    std::atomic<bool> connected{false};
    std::mutex ack_lock;
    std::condition_variable acked;
    int acked_mid = -1;  // the message the broker acknowledged last
};

}  // namespace

struct BrokerLink {
    BrokerOptions o;
    std::string where;         // "HOST:PORT", for messages
    std::string subscription;  // empty for a publisher
    mosquitto* m = nullptr;
    bool v5 = false;  // a subscriber until the broker says it speaks MQTT 3.1.1 only

    // Kept by the stepping thread.
    bool tried = false;
    bool socket_up = false;
    bool accepted = false;  // the broker took this connection (until it is lost)
    std::int64_t next_attempt_ns = 0;
    std::int64_t backoff_ns = kBackoffFirstNs;
    std::string last_failure;
    const ReceiveHandler* handler = nullptr;  // during a wait
    bool delivered = false;

    // Seen by both threads.
    std::atomic<bool> connected{false};
    std::atomic<bool> closing{false};
    std::atomic<std::uint64_t> connects{0};
    std::atomic<std::uint64_t> unnamed{0};
    std::mutex refusal_mutex;
    std::string refusal;

    // A publisher's connection attempt in flight, on a thread of its own; the stepping thread
    // leaves `m` alone until it is over. Its outcome: empty when connected, else why not.
    std::thread attempt;
    std::future<std::string> attempt_done;

    // A publisher's: the kind of each message queued and not yet written, oldest first (the
    // library writes them in order), and what became of the others.
    std::deque<BrokerMessage> unwritten;
    // A publisher's messages on a plain connection, as the wire has them, and where each ends;
    // `own_taken` bytes of them are written. The library writes only while none is half written,
    // and they only while nothing of the library's waits, so the two never interleave.
    bool own_writes = false;
    std::string own;
    std::vector<std::pair<BrokerMessage, std::size_t>> own_ends;
    std::size_t own_taken = 0;
    std::size_t own_counted = 0;  // of own_ends
    BrokerCounts counts;
    // Each sender's status, kept by the caller's thread.
    std::vector<std::unique_ptr<StatusLink>> statuses;
};

namespace {

void on_connect(mosquitto* m, void* object, int rc) {
    BrokerLink& link = *static_cast<BrokerLink*>(object);
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && link.v5) {
        // The next attempt makes a new connection without MQTT 5's properties; the library's
        // protocol error for this refusal goes unsaid.
        link.v5 = false;
        link.tried = false;
        link.last_failure = failure_text(MOSQ_ERR_PROTOCOL);
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        std::fprintf(stderr,
                     "%s: the broker at %s speaks MQTT 3.1.1 only, which cannot bound the size of "
                     "what it sends: it may send messages of any size\n",
                     link.o.command.c_str(), link.where.c_str());
        return;
    }
    if (rc != 0) {
        std::string why = "the broker at " + link.where + " refused the connection: " +
                          (link.v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
        if (!refusal_passes(rc, link.v5)) {
            why += link.o.username.empty() ? " (give --username and a password)"
                                           : " (check --username and the password)";
            const std::lock_guard lock(link.refusal_mutex);
            link.refusal = why;
        }
        std::fprintf(stderr, "%s: %s\n", link.o.command.c_str(), why.c_str());
        return;
    }
    link.connected = true;
    link.accepted = true;
    link.backoff_ns = kBackoffFirstNs;
    link.last_failure.clear();
    ++link.connects;
    if (!link.subscription.empty()) {
        mosquitto_subscribe(m, nullptr, link.subscription.c_str(), 0);
    }
    std::fprintf(stderr, "%s: connected to the broker at %s%s\n", link.o.command.c_str(),
                 link.where.c_str(), link.o.cafile.empty() ? "" : " (TLS)");
}

void on_disconnect(mosquitto*, void* object, int) {
    static_cast<BrokerLink*>(object)->connected = false;
}

void count_written(BrokerLink& link, BrokerMessage kind) {
    if (kind == BrokerMessage::Datagram) ++link.counts.datagrams;
    if (kind == BrokerMessage::Value) ++link.counts.values;
}

// A QoS 0 message was written whole: the oldest one queued.
void on_written(mosquitto*, void* object, int) {
    BrokerLink& link = *static_cast<BrokerLink*>(object);
    if (link.unwritten.empty()) return;
    const BrokerMessage kind = link.unwritten.front();
    link.unwritten.pop_front();
    count_written(link, kind);
}

// What was queued and not written is lost with the connection, or at the end. A message half
// written is lost too: a new connection starts with none.
void drop_unwritten(BrokerLink& link) {
    const auto counted = [](BrokerMessage kind) { return kind != BrokerMessage::Status; };
    link.counts.dropped += static_cast<std::uint64_t>(
        std::count_if(link.unwritten.begin(), link.unwritten.end(), counted));
    link.unwritten.clear();
    for (std::size_t i = link.own_counted; i < link.own_ends.size(); ++i) {
        if (counted(link.own_ends[i].first)) ++link.counts.dropped;
    }
    link.own.clear();
    link.own_ends.clear();
    link.own_taken = 0;
    link.own_counted = 0;
}

bool own_pending(const BrokerLink& link) {
    return link.own_taken < link.own.size();
}

// Hands the connection what it takes now of the publisher's own messages, never waiting. A
// failed write loses them; the library finds the connection lost at its next read.
void write_own(BrokerLink& link) {
    const int socket = mosquitto_socket(link.m);
    if (!own_pending(link) || socket < 0) return;
    const StreamWrite w =
        stream_write_some(static_cast<std::uintptr_t>(socket),
                          {link.own.data() + link.own_taken, link.own.size() - link.own_taken});
    if (w.failed) {
        drop_unwritten(link);
        return;
    }
    link.own_taken += w.taken;
    while (link.own_counted < link.own_ends.size() &&
           link.own_ends[link.own_counted].second <= link.own_taken) {
        count_written(link, link.own_ends[link.own_counted++].first);
    }
    if (own_pending(link)) return;
    link.own.clear();  // keeps its room for the next batch
    link.own_ends.clear();
    link.own_taken = 0;
    link.own_counted = 0;
}

// What the library has queued goes first, whole (its connection's first packet, a ping), then
// the publisher's own messages.
void flush_own(BrokerLink& link) {
    if (!own_pending(link)) return;
    if (link.own_taken == 0 && mosquitto_want_write(link.m)) {
        mosquitto_loop_write(link.m, 1);
        if (mosquitto_want_write(link.m)) return;
    }
    write_own(link);
}

void on_message(mosquitto*, void* object, const mosquitto_message* message) {
    BrokerLink& link = *static_cast<BrokerLink*>(object);
    std::uint32_t ip = 0;
    if (link.handler == nullptr || message->payloadlen < 0 ||
        !broker_topic_sender(message->topic, link.o.prefix, kBrokerDatagramLeaf, ip)) {
        ++link.unnamed;
        return;
    }
    const auto length = static_cast<std::size_t>(message->payloadlen);
    UdpDatagram datagram;
    datagram.length = length;
    datagram.from = {ip, 0};
    (*link.handler)(datagram, {static_cast<const char*>(message->payload), length},
                    receive_clock_ns());
    link.delivered = true;
}

// The credentials and TLS of every connection of `o`.
bool configure(mosquitto* m, const BrokerOptions& o, std::string& error) {
    int rc = MOSQ_ERR_SUCCESS;
    if (!o.username.empty()) {
        rc = mosquitto_username_pw_set(m, o.username.c_str(),
                                       o.password.empty() ? nullptr : o.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !o.cafile.empty()) {
        rc = mosquitto_tls_set(m, o.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc == MOSQ_ERR_NOT_SUPPORTED) {
            error = "this build of g1 has no TLS (--cafile); the Linux build has";
            return false;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot take the CA file " + o.cafile + ": " + failure_text(rc);
            return false;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) error = "cannot set the credentials: " + failure_text(rc);
    return rc == MOSQ_ERR_SUCCESS;
}

BrokerLinkPtr make_link(const BrokerOptions& o, std::string& error) {
    library_init();
    BrokerLinkPtr link(new BrokerLink);
    link->o = o;
    link->where = o.host + ":" + std::to_string(o.port);
    link->m = mosquitto_new(nullptr, true, link.get());
    if (link->m == nullptr) {
        error = "cannot make an MQTT client: " + std::string(std::strerror(errno));
        return nullptr;
    }
    if (!configure(link->m, o, error)) return nullptr;
    mosquitto_connect_callback_set(link->m, on_connect);
    mosquitto_disconnect_callback_set(link->m, on_disconnect);
    return link;
}

// Says why the broker could not be had, once for each new reason and whenever a connection that
// was up went down, and sets the next attempt.
void note_failure(BrokerLink& link, const std::string& why, std::int64_t now_ns) {
    drop_unwritten(link);
    const bool lost = link.accepted;
    link.accepted = false;
    link.connected = false;
    link.next_attempt_ns = now_ns + link.backoff_ns;
    if (!link.closing && (lost || why != link.last_failure)) {
        std::fprintf(
            stderr, "%s: %s the broker at %s (%s); trying again, with backoff up to %lld s\n",
            link.o.command.c_str(), lost ? "lost the connection to" : "cannot connect to",
            link.where.c_str(), why.c_str(), static_cast<long long>(kBackoffMaxNs / 1'000'000'000));
        link.last_failure = why;
    }
    link.backoff_ns = std::min(link.backoff_ns * 2, kBackoffMaxNs);
}

void attempt_start(BrokerLink& link) {
    const bool again = link.tried;
    link.tried = true;
    std::promise<std::string> done;
    link.attempt_done = done.get_future();
    link.attempt = std::thread([&link, again, done = std::move(done)]() mutable {
        int rc = MOSQ_ERR_SUCCESS;
        if (again) {
            rc = mosquitto_reconnect(link.m);  // with the first attempt's properties
        } else if (link.v5) {
            mosquitto_property* properties = nullptr;
            rc = mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                              kSubscriberPacketMax);
            if (rc == MOSQ_ERR_SUCCESS) {
                rc = mosquitto_connect_bind_v5(link.m, link.o.host.c_str(), link.o.port,
                                               kKeepaliveS, nullptr, properties);
            }
            mosquitto_property_free_all(&properties);
        } else {
            rc = mosquitto_connect(link.m, link.o.host.c_str(), link.o.port, kKeepaliveS);
        }
        // The words now, on this thread: a system call's failure is in this thread's errno.
        done.set_value(rc == MOSQ_ERR_SUCCESS ? std::string() : failure_text(rc));
    });
}

// Waits at most `wait_ns` for the attempt in flight; true when it is over (joined, its outcome
// in `why`).
bool attempt_over(BrokerLink& link, std::int64_t wait_ns, std::string& why) {
    if (link.attempt_done.wait_for(std::chrono::nanoseconds(wait_ns)) !=
        std::future_status::ready) {
        return false;
    }
    link.attempt.join();
    why = link.attempt_done.get();
    return true;
}

// Never waits longer than `wait_ns`: takes the outcome of the attempt in flight, starts the next
// one when due, or lets the library read what the broker sent, write what a full socket left and
// ping.
void step(BrokerLink& link, std::int64_t wait_ns) {
    const std::int64_t start_ns = receive_clock_ns();
    if (link.attempt.joinable()) {
        std::string why;
        if (!attempt_over(link, wait_ns, why)) return;
        if (!why.empty()) {
            note_failure(link, why, receive_clock_ns());
            return;
        }
        link.socket_up = true;
    }
    const std::int64_t now_ns = receive_clock_ns();
    const std::int64_t left_ns = std::max<std::int64_t>(0, wait_ns - (now_ns - start_ns));
    if (!link.socket_up) {
        if (link.closing) return;
        if (now_ns >= link.next_attempt_ns) {
            attempt_start(link);
        } else if (left_ns > 0) {
            std::this_thread::sleep_for(
                std::chrono::nanoseconds(std::min(left_ns, link.next_attempt_ns - now_ns)));
        }
        return;
    }
    // A message of the publisher's own half written: the library writes nothing until it is
    // whole, and reads what the broker sent once it is.
    if (own_pending(link) && link.own_taken > 0) write_own(link);
    if (own_pending(link) && link.own_taken > 0) return;
    const int rc = mosquitto_loop(link.m, static_cast<int>(left_ns / 1'000'000), 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        link.socket_up = false;
        note_failure(link, failure_text(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_CONN_LOST : rc),
                     receive_clock_ns());
    }
}

void status_connected(mosquitto* m, void* object, int rc) {
    if (rc != 0) return;
    StatusLink& s = *static_cast<StatusLink*>(object);
    s.connected = true;
    mosquitto_publish(m, nullptr, s.topic.c_str(), static_cast<int>(kBrokerOnline.size()),
                      kBrokerOnline.data(), kStatusQos, true);
}

void status_disconnected(mosquitto*, void* object, int) {
    static_cast<StatusLink*>(object)->connected = false;
}

void status_acknowledged(mosquitto*, void* object, int mid) {
    StatusLink& s = *static_cast<StatusLink*>(object);
    const std::lock_guard lock(s.ack_lock);
    s.acked_mid = mid;
    s.acked.notify_all();
}

// Connected, the link says `last` (offline, or nothing to remove the retained status), waits
// until `deadline` for the broker to have it, says goodbye, and its thread ends at once; true
// then. Otherwise the broker has the will already (or never had the link), and the thread may be
// waiting out a connection attempt to a host that does not answer, for minutes: it is cancelled.
bool status_close(StatusLink& s, std::string_view last,
                  std::chrono::steady_clock::time_point deadline) {
    const bool connected = s.connected;
    int mid = 0;
    if (connected && mosquitto_publish(s.m, &mid, s.topic.c_str(), static_cast<int>(last.size()),
                                       last.data(), kStatusQos, true) == MOSQ_ERR_SUCCESS) {
        std::unique_lock lock(s.ack_lock);
        s.acked.wait_until(lock, deadline, [&s, mid] { return s.acked_mid == mid; });
    }
    mosquitto_disconnect(s.m);
    mosquitto_loop_stop(s.m, !connected);
    mosquitto_destroy(s.m);
    return connected;
}

// Closes what `link` holds; false when a thread still inside a connection attempt to a host that
// does not answer holds the link too: it is left to the exit of g1, with the link.
bool close_link(BrokerLink& link) {
    const auto acked_by = std::chrono::steady_clock::now() + kStatusAckWait;
    for (const auto& s : link.statuses) status_close(*s, kBrokerOffline, acked_by);
    if (link.m == nullptr) return true;
    link.closing = true;
    std::string why;
    if (link.attempt.joinable()) {
        // A subscriber has nothing to say goodbye with: it ends at once.
        const std::int64_t wait_ns = link.subscription.empty() ? kFarewellNs : 0;
        if (!attempt_over(link, wait_ns, why)) {
            link.attempt.detach();
            return false;
        }
        link.socket_up = why.empty();
    }
    // The publisher's own messages, then goodbye after what the library has queued; with a
    // message still half written, no goodbye: the connection just closes.
    const std::int64_t farewell_ns = receive_clock_ns() + kFarewellNs;
    while (link.socket_up && own_pending(link) && receive_clock_ns() < farewell_ns) {
        flush_own(link);
        const int socket = mosquitto_socket(link.m);
        if (own_pending(link) && socket >= 0) {
            stream_wait_writable(static_cast<std::uintptr_t>(socket), kFarewellStepMs);
        }
    }
    if (link.socket_up && !(own_pending(link) && link.own_taken > 0)) {
        mosquitto_disconnect(link.m);  // after what is queued
        // What a full socket left, for a while.
        while (mosquitto_want_write(link.m) && receive_clock_ns() < farewell_ns &&
               mosquitto_loop(link.m, kFarewellStepMs, 1) == MOSQ_ERR_SUCCESS) {
        }
    }
    drop_unwritten(link);
    mosquitto_destroy(link.m);
    return true;
}

}  // namespace

void BrokerLinkClose::operator()(BrokerLink* link) const {
    if (link != nullptr && close_link(*link)) delete link;
}

BrokerCounts broker_publisher_stop(BrokerLinkPtr link) {
    BrokerLink* l = link.release();
    const bool closed = close_link(*l);
    drop_unwritten(*l);  // when the link could not be closed
    BrokerCounts counts = l->counts;
    counts.reconnects = broker_reconnects(*l);
    if (closed) delete l;
    return counts;
}

BrokerLinkPtr broker_publisher_start(const BrokerOptions& o, std::string& error) {
    BrokerLinkPtr link = make_link(o, error);
    if (!link) return nullptr;
    // Publishing only queues: `broker_publisher_flush` writes the queue, held together while it
    // writes; a batch's last segment then goes at once rather than after the broker's
    // acknowledgement of the one before, as the default coalescing of small writes would have it.
    mosquitto_threaded_set(link->m, true);
    mosquitto_int_option(link->m, MOSQ_OPT_TCP_NODELAY, 1);
    link->own_writes = o.cafile.empty();
    mosquitto_publish_callback_set(link->m, on_written);
    broker_publisher_step(*link);
    return link;
}

void broker_publisher_flush(BrokerLink& link) {
    if (!link.socket_up) return;
    if (link.own_writes) {
        flush_own(link);
        return;
    }
    if (!mosquitto_want_write(link.m)) return;
    const int socket = mosquitto_socket(link.m);
    if (socket < 0) return;
    const auto s = static_cast<std::uintptr_t>(socket);
    hold_stream_writes(s, true);
    // A failure closes the socket; the next step says so and reconnects.
    mosquitto_loop_write(link.m, 1);
    hold_stream_writes(s, false);
}

void broker_publisher_step(BrokerLink& link) {
    step(link, 0);
}

bool broker_connected(const BrokerLink& link) {
    return link.connected;
}

namespace {

// Queues a message of the publisher's own, or drops it (no connection, or too much waiting).
void own_publish(BrokerLink& link, std::string_view topic, std::string_view payload, bool retain,
                 BrokerMessage kind) {
    if (!link.connected || link.own.size() - link.own_taken >= kOwnUnwrittenMax) {
        if (kind != BrokerMessage::Status) ++link.counts.dropped;
        return;
    }
    mqtt_append_publish(link.own, topic, payload, retain, link.v5);
    link.own_ends.emplace_back(kind, link.own.size());
}

}  // namespace

void broker_publish(BrokerLink& link, const std::string& topic, std::string_view payload,
                    BrokerMessage kind) {
    if (link.own_writes) {
        own_publish(link, topic, payload, false, kind);
        return;
    }
    if (link.connected &&
        mosquitto_publish(link.m, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 0, false) == MOSQ_ERR_SUCCESS) {
        link.unwritten.push_back(kind);
    } else {
        ++link.counts.dropped;
    }
}

bool broker_sender_online(BrokerLink& link, std::uint32_t ip) {
    if (!link.connected) return false;
    auto s = std::make_unique<StatusLink>();
    s->ip = ip;
    s->topic = broker_topic(link.o.prefix, ip, kBrokerStatusLeaf);
    s->m = mosquitto_new(nullptr, true, s.get());
    std::string error;
    if (s->m == nullptr) return false;
    if (!configure(s->m, link.o, error) ||
        mosquitto_will_set(s->m, s->topic.c_str(), static_cast<int>(kBrokerOffline.size()),
                           kBrokerOffline.data(), kStatusQos, true) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(s->m);
        return false;
    }
    mosquitto_connect_callback_set(s->m, status_connected);
    mosquitto_disconnect_callback_set(s->m, status_disconnected);
    mosquitto_publish_callback_set(s->m, status_acknowledged);
    mosquitto_reconnect_delay_set(s->m, 1, static_cast<unsigned>(kBackoffMaxNs / 1'000'000'000),
                                  true);
    // A broker that goes away later is tried again by the library's thread.
    mosquitto_connect_async(s->m, link.o.host.c_str(), link.o.port, kKeepaliveS);
    if (mosquitto_loop_start(s->m) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(s->m);
        return false;
    }
    link.statuses.push_back(std::move(s));
    return true;
}

namespace {

// Closes the sender's status connection, if it has one, with `last`; true when `last` went out.
bool close_status(BrokerLink& link, std::uint32_t ip, std::string_view last) {
    const auto found = std::find_if(link.statuses.begin(), link.statuses.end(),
                                    [ip](const auto& s) { return s->ip == ip; });
    if (found == link.statuses.end()) return false;
    const bool said =
        status_close(**found, last, std::chrono::steady_clock::now() + kStatusAckWait);
    link.statuses.erase(found);
    return said;
}

}  // namespace

void broker_sender_gone(BrokerLink& link, std::uint32_t ip) {
    close_status(link, ip, kBrokerOffline);
}

void broker_sender_forget(BrokerLink& link, std::uint32_t ip) {
    if (close_status(link, ip, {})) return;
    // No status connection to say it (the sender fell silent, or its connection is down): the
    // main one does, after what the broker has of the sender.
    if (!link.connected) return;
    const std::string topic = broker_topic(link.o.prefix, ip, kBrokerStatusLeaf);
    if (link.own_writes) {
        own_publish(link, topic, {}, true, BrokerMessage::Status);
        return;
    }
    if (mosquitto_publish(link.m, nullptr, topic.c_str(), 0, nullptr, 0, true) ==
        MOSQ_ERR_SUCCESS) {
        link.unwritten.push_back(BrokerMessage::Status);
    }
}

BrokerLinkPtr broker_subscriber_start(const BrokerOptions& o, std::string& error) {
    BrokerLinkPtr link = make_link(o, error);
    if (!link) return nullptr;
    link->subscription = broker_every_sender(o.prefix, kBrokerDatagramLeaf);
    link->v5 = true;
    mosquitto_int_option(link->m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_message_callback_set(link->m, on_message);
    return link;
}

std::uint32_t broker_subscriber_packet_max() {
    return kSubscriberPacketMax;
}

UdpWait broker_wait(BrokerLink& link, int timeout_ms, const ReceiveHandler& handle) {
    link.handler = &handle;
    link.delivered = false;
    step(link, std::int64_t{timeout_ms} * 1'000'000);
    const bool any = link.delivered;
    for (int i = 0; link.delivered && link.socket_up && i < kMessagesAWait; ++i) {
        link.delivered = false;
        step(link, 0);
    }
    link.handler = nullptr;
    return any ? UdpWait::Datagram : UdpWait::Timeout;
}

std::uint64_t broker_reconnects(const BrokerLink& link) {
    const std::uint64_t connects = link.connects;
    return connects > 0 ? connects - 1 : 0;
}

std::uint64_t broker_unnamed(const BrokerLink& link) {
    return link.unnamed;
}

std::string broker_refusal(BrokerLink& link) {
    const std::lock_guard lock(link.refusal_mutex);
    return link.refusal;
}
