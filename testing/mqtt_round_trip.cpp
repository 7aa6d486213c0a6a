// mqtt_round_trip HOST PORT: one message through an MQTT broker and back by subscription, with
// g1's MQTT client library and its network thread; exits 0 only when it came back byte for byte.
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr const char* topic = "tessel/round-trip/g1";
// A datagram's text, then what a client treating payloads as C strings or lines would lose.
constexpr char sent_bytes[] = "G1,1234567,-40,0,2,\0\xff\x80\r\n,";
constexpr std::string_view sent{sent_bytes, sizeof sent_bytes - 1};
std::string received;  // filled by the network thread before it sets `arrived`
std::atomic<bool> arrived{false};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new(nullptr, true, nullptr);
    mosquitto_connect_callback_set(client, [](mosquitto* self, void*, int rc) {
        if (rc != 0) return;
        // Retained, so that the subscription after it gets it however the two are timed.
        mosquitto_publish(self, nullptr, topic, static_cast<int>(sent.size()), sent.data(), 0,
                          true);
        mosquitto_subscribe(self, nullptr, topic, 0);
    });
    mosquitto_message_callback_set(client, [](mosquitto*, void*, const mosquitto_message* m) {
        received.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
        arrived = true;
    });
    int rc = mosquitto_connect(client, argv[1], std::atoi(argv[2]), 10);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(client);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);  // for Wine
    while (rc == MOSQ_ERR_SUCCESS && !arrived && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();
    const char* outcome = rc != MOSQ_ERR_SUCCESS ? mosquitto_strerror(rc)
                          : !arrived             ? "the message did not come back within 30 s"
                          : received != sent     ? "the message came back changed"
                                                 : nullptr;
    std::fprintf(outcome ? stderr : stdout, "mqtt_round_trip: %s:%s: %s\n", argv[1], argv[2],
                 outcome ? outcome : "there and back, byte for byte");
    return outcome ? 1 : 0;
}
