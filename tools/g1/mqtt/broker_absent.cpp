// The broker options in a build without the MQTT library (the Windows one, for now): they parse,
// and starting fails with a message.
#include "tools/g1/mqtt/broker_client.h"

namespace {

constexpr const char* kAbsent = "the broker options are in the Linux build of g1";

}  // namespace

void BrokerLinkClose::operator()(BrokerLink*) const {}

BrokerLinkPtr broker_publisher_start(const BrokerOptions&, std::string& error) {
    error = kAbsent;
    return nullptr;
}

void broker_publisher_step(BrokerLink&) {}

void broker_publisher_flush(BrokerLink&) {}

void broker_publish(BrokerLink&, const std::string&, std::string_view, BrokerMessage) {}

BrokerCounts broker_publisher_stop(BrokerLinkPtr) {
    return {};
}

bool broker_sender_online(BrokerLink&, std::uint32_t) {
    return false;
}
void broker_sender_gone(BrokerLink&, std::uint32_t) {}
void broker_sender_forget(BrokerLink&, std::uint32_t) {}

std::uint32_t broker_subscriber_packet_max() {
    return 0;
}

BrokerLinkPtr broker_subscriber_start(const BrokerOptions&, std::string& error) {
    error = kAbsent;
    return nullptr;
}

UdpWait broker_wait(BrokerLink&, int, const ReceiveHandler&) {
    return UdpWait::Failed;
}

bool broker_connected(const BrokerLink&) {
    return false;
}

std::uint64_t broker_reconnects(const BrokerLink&) {
    return 0;
}

std::uint64_t broker_unnamed(const BrokerLink&) {
    return 0;
}

std::string broker_refusal(BrokerLink&) {
    return kAbsent;
}
