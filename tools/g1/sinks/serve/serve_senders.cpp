// The senders' board of `g1 serve`: every function takes the board's lock for a copy or two of a
// few hundred bytes, the history's copy (a few tens of kilobytes) when a page opens.
#include "tools/g1/sinks/serve/serve_senders.h"

#include <algorithm>

void history_note(SenderHistory& h, const SenderSample& sample) {
    if (h.count > 0) {
        const std::int64_t newest = history_at(h, h.count - 1).time_us;
        if (sample.time_us >= newest && sample.time_us - newest < kHistoryStepUs) return;
        if (sample.time_us < newest || sample.time_us - newest > kHistorySpanUs) h.count = 0;
    }
    if (h.count == h.ring.size()) {
        h.ring[h.first] = sample;
        h.first = (h.first + 1) % h.ring.size();
        return;
    }
    h.ring[(h.first + h.count) % h.ring.size()] = sample;
    ++h.count;
}

const SenderSample& history_at(const SenderHistory& h, std::size_t i) {
    return h.ring[(h.first + i) % h.ring.size()];
}

namespace {

bool gives_way(const SenderBoard& b, const SenderState& s, std::uint32_t ip, std::int64_t now_ns) {
    if (std::find(b.shown.begin(), b.shown.end(), ip) != b.shown.end()) return false;
    return now_ns - s.arrival_ns >= kSilentNs ||
           (s.number < kSteadyDatagrams && now_ns - s.first_ns >= kTrialNs);
}

// The sender's entry, or a place for it; nullptr when there is none.
SenderEntry<SenderState>* place_of(SenderBoard& b, std::uint32_t ip, std::int64_t now_ns) {
    std::vector<SenderEntry<SenderState>>& senders = b.table.senders;
    SenderEntry<SenderState>* free = nullptr;
    for (SenderEntry<SenderState>& e : senders) {
        if (e.ip == ip) return &e;
        if (gives_way(b, e.state, e.ip, now_ns) &&
            (free == nullptr || e.state.arrival_ns < free->state.arrival_ns)) {
            free = &e;
        }
    }
    if (senders.size() < kSenderTableMax) {
        free = &senders.emplace_back();
    } else if (free == nullptr) {
        return nullptr;
    }
    free->ip = ip;
    free->state.order = ++b.first_heard;
    free->state.number = 0;
    free->state.first_ns = now_ns;
    free->state.link = {};
    free->state.history.count = 0;  // the samples beyond the count are never read
    return free;
}

}  // namespace

bool board_put(SenderBoard& b, std::uint32_t ip, const SenderSample& sample,
               std::int64_t arrival_ns) {
    const std::lock_guard held(b.lock);
    SenderEntry<SenderState>* e = place_of(b, ip, arrival_ns);
    if (e == nullptr) {
        ++b.turned_away;
        return false;
    }
    e->last_heard = ++b.table.heard;
    SenderState& s = e->state;
    ++s.number;
    s.arrival_ns = arrival_ns;
    s.latest = sample;
    arrivals_note(s.link, arrival_ns);
    history_note(s.history, sample);
    return true;
}

std::size_t board_figures(SenderBoard& b, std::int64_t now_ns,
                          std::span<SenderFigures, kSenderTableMax> out) {
    std::array<std::uint64_t, kSenderTableMax> order{};
    std::size_t n = 0;
    {
        const std::lock_guard held(b.lock);
        for (const SenderEntry<SenderState>& e : b.table.senders) {
            order[n] = e.state.order;
            out[n++] = {e.ip, arrival_figures(e.state.link, now_ns)};
        }
    }
    // Insertion sort by first hearing: a few dozen at most, and nothing to allocate.
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t k = i; k > 0 && order[k - 1] > order[k]; --k) {
            std::swap(order[k - 1], order[k]);
            std::swap(out[k - 1], out[k]);
        }
    }
    return n;
}

void board_put_health(SenderBoard& b, std::string event) {
    const std::lock_guard held(b.lock);
    b.health.swap(event);  // the old text is freed after the lock
    ++b.health_number;
}

bool board_put_moment(SenderBoard& b, std::uint32_t ip, const SenderHistory& history,
                      const SenderSample* latest, std::int64_t arrival_ns) {
    const std::lock_guard held(b.lock);
    ++b.moments;
    const auto known = std::find_if(b.table.senders.begin(), b.table.senders.end(),
                                    [ip](const auto& e) { return e.ip == ip; });
    if (latest == nullptr) {
        // Nothing of it by the new moment: off the board until it is heard again.
        if (known != b.table.senders.end()) b.table.senders.erase(known);
        return true;
    }
    SenderEntry<SenderState>* e = place_of(b, ip, arrival_ns);
    if (e == nullptr) {
        ++b.turned_away;
        return false;
    }
    SenderState& s = e->state;
    s.history = history;
    e->last_heard = ++b.table.heard;
    ++s.number;
    s.arrival_ns = arrival_ns;
    s.latest = *latest;
    return true;
}

std::uint64_t board_turned_away(SenderBoard& b) {
    const std::lock_guard held(b.lock);
    return b.turned_away;
}

void board_show(SenderBoard& b, std::span<const std::uint32_t> shown) {
    const std::lock_guard held(b.lock);
    b.shown.assign(shown.begin(), shown.end());  // its room is kept: no allocation once grown
}

void board_take(SenderBoard& b, std::vector<SenderLatest>& out, std::string& health,
                std::uint64_t& health_number, std::uint64_t& moments) {
    out.clear();
    const std::lock_guard held(b.lock);
    moments = b.moments;
    for (const SenderEntry<SenderState>& e : b.table.senders) {
        out.push_back({e.ip, e.state.order, e.state.number, e.state.arrival_ns, e.state.latest});
    }
    if (b.health_number != health_number) {
        health = b.health;
        health_number = b.health_number;
    }
}

bool board_history(SenderBoard& b, std::uint32_t ip, SenderHistory& out) {
    const std::lock_guard held(b.lock);
    for (const SenderEntry<SenderState>& e : b.table.senders) {
        if (e.ip == ip) {
            out = e.state.history;
            return true;
        }
    }
    return false;
}

std::uint32_t default_sender(std::span<const SenderLatest> senders) {
    const auto first = std::min_element(
        senders.begin(), senders.end(),
        [](const SenderLatest& a, const SenderLatest& b) { return a.order < b.order; });
    return first == senders.end() ? 0 : first->ip;
}
