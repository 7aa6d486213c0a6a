// One frame as Update handles it, without the platform: decode the host's stream, publish the
// frame for the monitor, and compose the G1 datagram. Update, the fuzz target, the benchmark
// and the allocation test all go through it.
#pragma once

#include "plugin/host/frame_exchange.h"
#include "plugin/host/message_record.h"
#include "plugin/telemetry/g1_datagram.h"

#include <cstdint>
#include <span>
#include <vector>

// Decodes up to `count` records from the stream into `records` (emptied first, its storage
// kept), publishes them with `dt` into `exchange` unless there are none, so the window keeps
// the last frame that had any, and gives the frame's datagram, empty for a frame without
// records. Throws only when `records` or the exchange cannot grow their storage.
G1Text frame_step(std::span<const std::uint8_t> stream, std::uint32_t count, double dt,
                  std::vector<MessageRecord>& records, FrameExchange& exchange);
