// The UDP port as a source.
#include "tools/g1/sources/udp_source.h"

#include <memory>

bool udp_source_open(std::uint16_t port, std::size_t capacity, G1Source& source,
                     std::string& error) {
    const auto in = std::make_shared<ReceiveSocket>();
    if (!receive_open(*in, port, capacity, error)) return false;
    source = G1Source{};
    source.text = "on " + udp_address_text({0, port}) + ", sharing the port with other receivers";
    source.hint = SourceHint::Port;
    source.network = true;
    source.socket = &in->socket;
    source.wait = [in](int timeout_ms, const ReceiveHandler& handle) {
        return receive_wait(*in, timeout_ms, handle);
    };
    source.close = [in] {
        receive_close(*in);
        return std::string();
    };
    return true;
}
