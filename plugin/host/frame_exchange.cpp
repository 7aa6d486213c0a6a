// The frame hand-over between the host's thread and the window thread.
#include "plugin/host/frame_exchange.h"

void frame_exchange_publish(FrameExchange& exchange, std::span<const MessageRecord> records,
                            double dt) {
    const std::lock_guard guard(exchange.lock);
    exchange.latest.assign(records.begin(), records.end());
    exchange.latest_dt = dt;
    exchange.fresh = true;
}

TakenFrame frame_exchange_take(FrameExchange& exchange) {
    const std::lock_guard guard(exchange.lock);
    // Swapping without a new frame would bring back the one shown before the current one, so
    // the window would flicker between the last two frames while none arrive.
    if (exchange.fresh) {
        exchange.latest.swap(exchange.display);
        exchange.fresh = false;
    }
    ++exchange.paint_counter;
    return {exchange.display, exchange.latest_dt, exchange.paint_counter};
}
