// The broker connection on the MQTT C library, kept by the receiving thread: connect or reconnect
// when due (backoff doubling from 1 s to 30 s), else let the library read, write and ping. The
// library calls back on the stepping thread. A publisher's messages are queued and go out from
// the same thread, a batch at a time, with no thread of the library's to wake for each one.
#include "tools/g1/broker_client.h"

#include "tools/common/udp.h"
#include "tools/g1/stream_writes.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
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
constexpr int kStatusQos = 1;        // few messages, and the last one of a sender must not be lost
constexpr int kMessagesAWait = 256;  // a wait that brought messages takes what else is waiting

// MQTT 3.1.1's refusal that may pass: the broker is up but not serving yet.
constexpr int kConnackServerUnavailable = 3;

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
};

}  // namespace

struct BrokerLink {
    BrokerOptions o;
    std::string where;         // "HOST:PORT", for messages
    std::string subscription;  // empty for a publisher
    mosquitto* m = nullptr;

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
    // Each sender's status, kept by the caller's thread.
    std::vector<std::unique_ptr<StatusLink>> statuses;
};

namespace {

void on_connect(mosquitto* m, void* object, int rc) {
    BrokerLink& link = *static_cast<BrokerLink*>(object);
    if (rc != 0) {
        std::string why = "the broker at " + link.where +
                          " refused the connection: " + mosquitto_connack_string(rc);
        if (rc != kConnackServerUnavailable) {
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

void step(BrokerLink& link, int timeout_ms) {
    const std::int64_t now_ns = receive_clock_ns();
    if (!link.socket_up) {
        if (link.closing) return;
        if (now_ns < link.next_attempt_ns) {
            const std::int64_t wait_ns = std::min<std::int64_t>(
                link.next_attempt_ns - now_ns, timeout_ms * std::int64_t{1'000'000});
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait_ns));
            return;
        }
        const int rc =
            link.tried ? mosquitto_reconnect(link.m)
                       : mosquitto_connect(link.m, link.o.host.c_str(), link.o.port, kKeepaliveS);
        link.tried = true;
        if (rc != MOSQ_ERR_SUCCESS) {
            note_failure(link, failure_text(rc), now_ns);
            return;
        }
        link.socket_up = true;
    }
    const int rc = mosquitto_loop(link.m, timeout_ms, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        link.socket_up = false;
        note_failure(link, failure_text(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_CONN_LOST : rc),
                     receive_clock_ns());
    }
}

void attempt_start(BrokerLink& link) {
    const bool again = link.tried;
    link.tried = true;
    std::promise<std::string> done;
    link.attempt_done = done.get_future();
    link.attempt = std::thread([&link, again, done = std::move(done)]() mutable {
        const int rc =
            again ? mosquitto_reconnect(link.m)
                  : mosquitto_connect(link.m, link.o.host.c_str(), link.o.port, kKeepaliveS);
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

// Connected, the link says offline and goodbye, and its thread ends at once. Otherwise the
// broker has the will already (or never had the link), and the thread may be waiting out a
// connection attempt to a host that does not answer, for minutes: it is cancelled.
void status_close(StatusLink& s) {
    const bool connected = s.connected;
    if (connected) {
        mosquitto_publish(s.m, nullptr, s.topic.c_str(), static_cast<int>(kBrokerOffline.size()),
                          kBrokerOffline.data(), kStatusQos, true);
    }
    mosquitto_disconnect(s.m);
    mosquitto_loop_stop(s.m, !connected);
    mosquitto_destroy(s.m);
}

}  // namespace

void BrokerLinkClose::operator()(BrokerLink* link) const {
    if (link == nullptr) return;
    for (const auto& s : link->statuses) status_close(*s);
    if (link->m != nullptr) {
        link->closing = true;
        std::string why;
        if (link->attempt.joinable()) {
            // A thread still inside a connection attempt to a host that does not answer is left
            // to the exit of g1, with the link it uses.
            if (!attempt_over(*link, kFarewellNs, why)) {
                link->attempt.detach();
                return;
            }
            link->socket_up = why.empty();
        }
        if (link->socket_up) {
            mosquitto_disconnect(link->m);  // after what is queued
            // What a full socket left, for a while.
            const std::int64_t farewell_ns = receive_clock_ns() + kFarewellNs;
            while (mosquitto_want_write(link->m) && receive_clock_ns() < farewell_ns &&
                   mosquitto_loop(link->m, kFarewellStepMs, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
        mosquitto_destroy(link->m);
    }
    delete link;
}

BrokerLinkPtr broker_publisher_start(const BrokerOptions& o, std::string& error) {
    BrokerLinkPtr link = make_link(o, error);
    if (!link) return nullptr;
    // Publishing only queues: `broker_publisher_flush` writes the queue, held together while it
    // writes; a batch's last segment then goes at once rather than after the broker's
    // acknowledgement of the one before, as the default coalescing of small writes would have it.
    mosquitto_threaded_set(link->m, true);
    mosquitto_int_option(link->m, MOSQ_OPT_TCP_NODELAY, 1);
    broker_publisher_step(*link);
    return link;
}

void broker_publisher_flush(BrokerLink& link) {
    if (!link.socket_up || !mosquitto_want_write(link.m)) return;
    const int socket = mosquitto_socket(link.m);
    if (socket < 0) return;
    const auto s = static_cast<std::uintptr_t>(socket);
    hold_stream_writes(s, true);
    // A failure closes the socket; the next step says so and reconnects.
    mosquitto_loop_write(link.m, 1);
    hold_stream_writes(s, false);
}

void broker_publisher_step(BrokerLink& link) {
    const std::int64_t now_ns = receive_clock_ns();
    if (link.attempt.joinable()) {
        std::string why;
        if (!attempt_over(link, 0, why)) return;
        if (!why.empty()) {
            note_failure(link, why, now_ns);
            return;
        }
        link.socket_up = true;
    }
    if (!link.socket_up) {
        if (!link.closing && now_ns >= link.next_attempt_ns) attempt_start(link);
        return;
    }
    const int rc = mosquitto_loop(link.m, 0, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        link.socket_up = false;
        note_failure(link, failure_text(rc == MOSQ_ERR_NO_CONN ? MOSQ_ERR_CONN_LOST : rc), now_ns);
    }
}

bool broker_publish(BrokerLink& link, const std::string& topic, std::string_view payload) {
    return link.connected &&
           mosquitto_publish(link.m, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 0, false) == MOSQ_ERR_SUCCESS;
}

void broker_sender_online(BrokerLink& link, std::uint32_t ip) {
    auto s = std::make_unique<StatusLink>();
    s->ip = ip;
    s->topic = broker_topic(link.o.prefix, ip, kBrokerStatusLeaf);
    s->m = mosquitto_new(nullptr, true, s.get());
    std::string error;
    if (s->m == nullptr) return;
    if (!configure(s->m, link.o, error) ||
        mosquitto_will_set(s->m, s->topic.c_str(), static_cast<int>(kBrokerOffline.size()),
                           kBrokerOffline.data(), kStatusQos, true) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(s->m);
        return;
    }
    mosquitto_connect_callback_set(s->m, status_connected);
    mosquitto_disconnect_callback_set(s->m, status_disconnected);
    mosquitto_reconnect_delay_set(s->m, 1, static_cast<unsigned>(kBackoffMaxNs / 1'000'000'000),
                                  true);
    // A broker that cannot be reached yet is tried again by the library's thread.
    mosquitto_connect_async(s->m, link.o.host.c_str(), link.o.port, kKeepaliveS);
    if (mosquitto_loop_start(s->m) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(s->m);
        return;
    }
    link.statuses.push_back(std::move(s));
}

void broker_sender_gone(BrokerLink& link, std::uint32_t ip) {
    const auto found = std::find_if(link.statuses.begin(), link.statuses.end(),
                                    [ip](const auto& s) { return s->ip == ip; });
    if (found == link.statuses.end()) return;
    status_close(**found);
    link.statuses.erase(found);
}

BrokerLinkPtr broker_subscriber_start(const BrokerOptions& o, std::string& error) {
    BrokerLinkPtr link = make_link(o, error);
    if (!link) return nullptr;
    link->subscription = broker_every_sender(o.prefix, kBrokerDatagramLeaf);
    mosquitto_message_callback_set(link->m, on_message);
    return link;
}

UdpWait broker_wait(BrokerLink& link, int timeout_ms, const ReceiveHandler& handle) {
    link.handler = &handle;
    link.delivered = false;
    step(link, timeout_ms);
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
