// Sliding windows of fixed slots: nothing grows with the datagram rate.
#include "tools/g1/sinks/serve/serve_health.h"

#include <algorithm>

namespace {

template <std::size_t N>
HealthSlot& slot_for(std::array<HealthSlot, N>& slots, std::int64_t period) {
    HealthSlot& slot = slots[static_cast<std::size_t>(period) % N];
    if (slot.period != period) {
        slot = {period, 0};  // a slot from an earlier round holds stale figures
    }
    return slot;
}

// Whether the slot holds one of the periods `first` to `last`.
bool within(const HealthSlot& slot, std::int64_t first, std::int64_t last) {
    return slot.period >= first && slot.period <= last;
}

}  // namespace

void arrivals_note(ArrivalWindows& h, std::int64_t now_ns) {
    if (h.datagrams > 0) {
        HealthSlot& gap = slot_for(h.gaps, now_ns / kGapSlotNs);
        gap.value = std::max(gap.value, now_ns - h.last_ns);
    }
    ++slot_for(h.arrivals, now_ns / kRateSlotNs).value;
    h.last_ns = now_ns;
    ++h.datagrams;
}

void health_note_arrival(ServeHealth& h, std::int64_t now_ns) {
    arrivals_note(h.link, now_ns);
}

HealthFigures health_figures(const ServeHealth& h, std::int64_t now_ns) {
    HealthFigures f = arrival_figures(h.link, now_ns);
    f.malformed = h.receiver.counts.malformed;
    f.other_senders = h.receiver.counts.other_senders;
    f.wraps = h.receiver.times.wraps;
    return f;
}

HealthFigures arrival_figures(const ArrivalWindows& h, std::int64_t now_ns) {
    HealthFigures f;
    f.datagrams = h.datagrams;
    if (h.datagrams == 0) {
        return f;
    }
    f.idle_ms = (now_ns - h.last_ns) / 1'000'000;
    // The slot now filling is left out, so the count covers exactly one second.
    const std::int64_t current = now_ns / kRateSlotNs;
    std::int64_t arrivals = 0;
    for (const HealthSlot& s : h.arrivals) {
        if (within(s, current - static_cast<std::int64_t>(kRateSlots), current - 1)) {
            arrivals += s.value;
        }
    }
    f.rate_hz = static_cast<double>(arrivals) * 1e9 / (kRateSlotNs * kRateSlots);
    const std::int64_t second = now_ns / kGapSlotNs;
    std::int64_t largest = 0;
    for (const HealthSlot& s : h.gaps) {
        if (within(s, second - static_cast<std::int64_t>(kGapSlots) + 1, second)) {
            largest = std::max(largest, s.value);
        }
    }
    f.largest_gap_ms = static_cast<double>(largest) / 1e6;
    return f;
}
