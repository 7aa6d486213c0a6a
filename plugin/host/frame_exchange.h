// Hands the most recent frame from the host's thread to the window thread: the host copies a
// frame in under the lock, the window swaps it out, and neither formats or draws while locked.
#pragma once

#include "plugin/host/message_record.h"

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

struct FrameExchange {
    std::mutex lock;
    std::vector<MessageRecord> latest;   // host side: the last published frame, until taken
    std::vector<MessageRecord> display;  // window side between takes
    double latest_dt = 0.0;
    std::uint64_t paint_counter = 0;
    bool fresh = false;  // `latest` holds a frame published since the last take
};

// What one take hands the window. `records` stays valid, and unchanged, until the next take.
struct TakenFrame {
    std::span<const MessageRecord> records;
    double dt;
    std::uint64_t counter;
};

// Host thread. Copies the records into storage that is kept from frame to frame, so a steady
// stream of frames allocates nothing once both buffers have grown to the largest frame.
void frame_exchange_publish(FrameExchange& exchange, std::span<const MessageRecord> records,
                            double dt);

// Window thread, once per repaint. Gives the most recent published frame (none before the first
// publication), and the paint counter after adding one to it.
TakenFrame frame_exchange_take(FrameExchange& exchange);
