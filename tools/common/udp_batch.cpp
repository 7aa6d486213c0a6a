// Storage of the UDP interface's receive batches.
#include "tools/common/udp.h"

#include <algorithm>

void udp_batch_reserve(UdpBatch& batch, std::size_t capacity, std::size_t slot) {
    capacity = std::clamp<std::size_t>(capacity, 1, kUdpBatchMax);
    batch.slot = slot;
    batch.bytes.assign(capacity * slot, 0);
    batch.datagrams.assign(capacity, UdpDatagram{});
    batch.count = 0;
}
