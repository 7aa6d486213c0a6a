// Per-sender state of the G1 receivers (a running time, a rate), in a table of bounded size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// Anyone on the network can send from any number of addresses; a table stays this small, and the
// sender heard from least recently gives up its place (its state starts afresh if it returns).
inline constexpr std::size_t kSenderTableMax = 64;

// Senders are told apart by IPv4 address alone: a sender's source port is whatever its system
// assigns and may change while it runs.
template <class State>
struct SenderEntry {
    std::uint32_t ip = 0;
    std::uint64_t last_heard = 0;
    State state{};
};

template <class State>
struct SenderTable {
    std::vector<SenderEntry<State>> senders;  // at most kSenderTableMax
    std::uint64_t heard = 0;                  // datagrams taken, for the order of last hearing
};

// The state of the sender at `ip`, a fresh `State` for one not in the table; counts it as heard.
template <class State>
State& sender_state(SenderTable<State>& t, std::uint32_t ip) {
    auto found = std::find_if(t.senders.begin(), t.senders.end(),
                              [ip](const SenderEntry<State>& s) { return s.ip == ip; });
    if (found == t.senders.end() && t.senders.size() < kSenderTableMax) {
        found = t.senders.insert(t.senders.end(), {ip, 0, State{}});
    } else if (found == t.senders.end()) {
        found = std::min_element(t.senders.begin(), t.senders.end(),
                                 [](const SenderEntry<State>& a, const SenderEntry<State>& b) {
                                     return a.last_heard < b.last_heard;
                                 });
        *found = {ip, 0, State{}};
    }
    found->last_heard = ++t.heard;
    return found->state;
}
