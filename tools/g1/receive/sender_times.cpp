// Per-sender unwrapping of the G1 time field, in a table of bounded size.
#include "tools/g1/receive/sender_times.h"

std::int64_t sender_times_unwrap(SenderTimes& t, std::uint32_t ip, std::int32_t field,
                                 bool& wrapped) {
    G1TimeUnwrap& time = sender_state(t.table, ip);
    const std::uint64_t before = time.wraps;
    const std::int64_t running = g1_unwrap_time(time, field);
    wrapped = time.wraps != before;
    if (wrapped) ++t.wraps;
    return running;
}
