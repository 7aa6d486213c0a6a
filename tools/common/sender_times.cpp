// Per-sender unwrapping of the G1 time field, in a table of bounded size.
#include "tools/common/sender_times.h"

#include <algorithm>

namespace {

SenderTime& entry_for(SenderTimes& t, std::uint32_t ip) {
    const auto found = std::find_if(t.senders.begin(), t.senders.end(),
                                    [ip](const SenderTime& s) { return s.ip == ip; });
    if (found != t.senders.end()) return *found;
    if (t.senders.size() < kSenderTimesMax) {
        t.senders.push_back({ip, 0, {}});
        return t.senders.back();
    }
    SenderTime& oldest = *std::min_element(
        t.senders.begin(), t.senders.end(),
        [](const SenderTime& a, const SenderTime& b) { return a.last_heard < b.last_heard; });
    oldest = {ip, 0, {}};
    return oldest;
}

}  // namespace

std::int64_t sender_times_unwrap(SenderTimes& t, std::uint32_t ip, std::int32_t field,
                                 bool& wrapped) {
    SenderTime& s = entry_for(t, ip);
    s.last_heard = ++t.heard;
    const std::uint64_t before = s.time.wraps;
    const std::int64_t running = g1_unwrap_time(s.time, field);
    wrapped = s.time.wraps != before;
    if (wrapped) ++t.wraps;
    return running;
}
