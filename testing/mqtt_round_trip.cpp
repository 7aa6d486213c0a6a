// Sends one message through an MQTT broker and takes it back by subscription, with the client
// library behind g1's broker options and its own network thread: proof that the library works
// where this build runs (g1.exe's static build under Wine above all).
//   mqtt_round_trip HOST PORT    exits 0 only when the message came back byte for byte
#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

namespace {

constexpr const char* topic = "tessel/round-trip/g1";
// A datagram's text, then the bytes a client that treats payloads as C strings or lines would
// lose or change: NUL, bytes above 0x7f, CR LF.
constexpr char payload_bytes[] = "G1,1234567,-40,0,2,\0\xff\x80\r\n,";
constexpr std::string_view payload{payload_bytes, sizeof payload_bytes - 1};
// Generous: Wine on a loaded machine.
constexpr auto bound = std::chrono::seconds(30);

// What the library's thread reports to the main thread.
struct Exchange {
    std::mutex mutex;
    std::condition_variable changed;
    int connack = -1;
    bool subscribed = false;
    bool received = false;
    std::string message;
};

void on_connect(mosquitto* client, void* data, int rc) {
    auto& exchange = *static_cast<Exchange*>(data);
    {
        std::lock_guard lock(exchange.mutex);
        exchange.connack = rc;
    }
    exchange.changed.notify_all();
    if (rc == 0) mosquitto_subscribe(client, nullptr, topic, 0);
}

void on_subscribe(mosquitto*, void* data, int, int, const int*) {
    auto& exchange = *static_cast<Exchange*>(data);
    {
        std::lock_guard lock(exchange.mutex);
        exchange.subscribed = true;
    }
    exchange.changed.notify_all();
}

void on_message(mosquitto*, void* data, const mosquitto_message* message) {
    auto& exchange = *static_cast<Exchange*>(data);
    {
        std::lock_guard lock(exchange.mutex);
        exchange.message.assign(static_cast<const char*>(message->payload),
                                static_cast<std::size_t>(message->payloadlen));
        exchange.received = true;
    }
    exchange.changed.notify_all();
}

int fail(const char* what, const char* why) {
    std::fprintf(stderr, "mqtt_round_trip: %s: %s\n", what, why);
    return 1;
}

// The steps that need the broker; the caller owns the client.
int round_trip(mosquitto* client, Exchange& exchange, const char* host, int port) {
    int rc = mosquitto_connect(client, host, port, 10);
    if (rc != MOSQ_ERR_SUCCESS) return fail("connect", mosquitto_strerror(rc));
    rc = mosquitto_loop_start(client);
    if (rc != MOSQ_ERR_SUCCESS) return fail("starting the network thread", mosquitto_strerror(rc));
    std::unique_lock lock(exchange.mutex);
    if (!exchange.changed.wait_for(lock, bound, [&] { return exchange.connack >= 0; }))
        return fail("connect", "no CONNACK");
    if (exchange.connack != 0) return fail("connect", mosquitto_connack_string(exchange.connack));
    if (!exchange.changed.wait_for(lock, bound, [&] { return exchange.subscribed; }))
        return fail("subscribe", "no SUBACK");
    lock.unlock();
    rc = mosquitto_publish(client, nullptr, topic, static_cast<int>(payload.size()), payload.data(),
                           0, false);
    if (rc != MOSQ_ERR_SUCCESS) return fail("publish", mosquitto_strerror(rc));
    lock.lock();
    if (!exchange.changed.wait_for(lock, bound, [&] { return exchange.received; }))
        return fail("subscription", "the message did not come back");
    if (exchange.message != payload) return fail("subscription", "the message came back changed");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mqtt_round_trip HOST PORT\n");
        return 2;
    }
    const char* host = argv[1];
    const int port = std::atoi(argv[2]);
    mosquitto_lib_init();
    Exchange exchange;
    mosquitto* client = mosquitto_new(nullptr, true, &exchange);
    if (client == nullptr) return fail("mosquitto_new", "no client");
    mosquitto_connect_callback_set(client, on_connect);
    mosquitto_subscribe_callback_set(client, on_subscribe);
    mosquitto_message_callback_set(client, on_message);
    const int rc = round_trip(client, exchange, host, port);
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();
    if (rc == 0)
        std::printf("mqtt_round_trip: %zu bytes through %s:%d and back, byte for byte\n",
                    payload.size(), host, port);
    return rc;
}
