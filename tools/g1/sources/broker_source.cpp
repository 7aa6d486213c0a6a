// The broker as a source: its waits, and its refusal, which ends the command.
#include "tools/g1/sources/broker_source.h"

#include <memory>

bool broker_source_open(const BrokerOptions& options, G1Source& source, std::string& error) {
    // Shared by the hooks; closing ends the link at once, not when the last hook goes.
    const auto link = std::make_shared<BrokerLinkPtr>(broker_subscriber_start(options, error));
    if (!*link) return false;
    source = G1Source{};
    source.text = "from the broker at " + options.host + ":" + std::to_string(options.port) +
                  ", topics " + broker_every_sender(options.prefix, kBrokerDatagramLeaf);
    source.hint = SourceHint::Broker;
    source.wait = [link](int timeout_ms, const ReceiveHandler& handle) {
        // The refusal itself was said by the link; retrying would not help.
        if (!broker_refusal(**link).empty()) return UdpWait::Failed;
        return broker_wait(**link, timeout_ms, handle);
    };
    source.close = [link] {
        const std::string words =
            "; " + std::to_string(broker_reconnects(**link)) + " reconnects to the broker, " +
            std::to_string(broker_unnamed(**link)) + " messages on topics that name no sender";
        link->reset();
        return words;
    };
    return true;
}
