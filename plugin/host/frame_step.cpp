// One frame as Update handles it: decode, publish when not empty, compose the datagram.
#include "plugin/host/frame_step.h"

#include "plugin/host/frame_decoder.h"

G1Text frame_step(std::span<const std::uint8_t> stream, std::uint32_t count, double dt,
                  std::vector<MessageRecord>& records, FrameExchange& exchange) {
    decode_frame(stream, count, records);
    if (!records.empty()) {
        frame_exchange_publish(exchange, records, dt);
    }
    // Built from our own list, not from the published copy, which the window may take away.
    return g1_datagram(records);
}
