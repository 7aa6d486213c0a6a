// Fixed slots and buckets: nothing here grows with the datagram rate.
#include "tools/g1/receive/link_health.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kBucketsPerOctave = 4.0;

std::size_t gap_bucket(std::int64_t gap_ns) {
    const double us = static_cast<double>(gap_ns) / 1e3;
    if (us <= 1.0) return 0;
    const auto bucket = static_cast<std::size_t>(std::log2(us) * kBucketsPerOctave);
    return std::min(bucket, kGapBucketCount - 1);
}

// The middle of a bucket, on the logarithmic scale, in seconds.
double bucket_seconds(std::size_t bucket) {
    return std::exp2((static_cast<double>(bucket) + 0.5) / kBucketsPerOctave) / 1e6;
}

void note_gap(LinkHealth& h, std::int64_t now_ns, std::int64_t gap_ns) {
    const std::int64_t period = now_ns / kGapSlotLengthNs;
    GapSlot& slot = h.gaps[static_cast<std::size_t>(period) % kGapSlotCount];
    if (slot.period != period) slot = {period, {}};
    ++slot.counts[gap_bucket(gap_ns)];
}

std::int64_t median_step(const LinkHealth& h) {
    const std::size_t n = std::min(h.step_count, kFrameSteps);
    std::array<std::int64_t, kFrameSteps> sorted = h.steps;
    std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.begin() + n);
    return sorted[n / 2];
}

// A step of k frame times: k - 1 frames that never came.
std::uint64_t frames_skipped(std::int64_t step, std::int64_t frame) {
    const std::int64_t k = (step + frame / 2) / frame;
    return k > 1 ? static_cast<std::uint64_t>(k - 1) : 0;
}

}  // namespace

void link_note_arrival(LinkHealth& h, std::int64_t now_ns, bool malformed) {
    if (h.datagrams > 0) note_gap(h, now_ns, now_ns - h.last_ns);
    if (h.datagrams == 0) h.first_ns = now_ns;
    const std::int64_t second = now_ns / 1'000'000'000;
    if (second != h.second[0]) {
        h.in_second[1] = second == h.second[0] + 1 ? h.in_second[0] : 0;
        h.second = {second, second - 1};
        h.in_second[0] = 0;
    }
    ++h.in_second[0];
    ++h.datagrams;
    if (malformed) ++h.malformed;
    h.last_ns = now_ns;
}

void link_note_time(LinkHealth& h, std::int64_t time_us, bool wrapped) {
    if (wrapped) ++h.wraps;
    const std::int64_t step = time_us - h.last_time_us;
    if (!h.timed || step < 0) {  // the first datagram, or a new flight
        h.timed = true;
        h.standing = false;
        h.step_count = 0;
        h.anchor_time_us = time_us;
        h.anchor_ns = h.last_ns;
        h.drift_us = 0;
    } else if (step == 0) {
        if (!h.standing) ++h.pauses;
        h.standing = true;
    } else {
        h.standing = false;
        // The first steps of a flight are judged once they have taught the frame time.
        if (h.step_count >= kFrameLearnSteps) h.frames_lost += frames_skipped(step, median_step(h));
        h.steps[h.step_count++ % kFrameSteps] = step;
        if (h.step_count == kFrameLearnSteps) {
            for (std::size_t i = 0; i < kFrameLearnSteps; ++i) {
                h.frames_lost += frames_skipped(h.steps[i], median_step(h));
            }
        }
    }
    h.last_time_us = time_us;
    if (h.timed) h.drift_us = (time_us - h.anchor_time_us) - (h.last_ns - h.anchor_ns) / 1000;
}

LinkFigures link_figures(const LinkHealth& h, std::uint32_t ip, std::int64_t now_ns) {
    LinkFigures f;
    f.ip = ip;
    f.datagrams = h.datagrams;
    f.malformed = h.malformed;
    f.frames_lost = h.frames_lost;
    f.pauses = h.pauses;
    f.wraps = h.wraps;
    if (h.datagrams == 0) return f;
    const std::int64_t second = now_ns / 1'000'000'000;
    if (h.second[0] == second - 1) f.rate_hz = static_cast<double>(h.in_second[0]);
    if (h.second[1] == second - 1) f.rate_hz = static_cast<double>(h.in_second[1]);
    f.idle_s = static_cast<double>(now_ns - h.last_ns) / 1e9;
    f.gaps = h.datagrams - 1;
    f.gaps_s = static_cast<double>(h.last_ns - h.first_ns) / 1e9;
    f.drift_s = static_cast<double>(h.drift_us) / 1e6;
    if (h.step_count > 0) f.frame_s = static_cast<double>(median_step(h)) / 1e6;
    std::array<std::uint64_t, kGapBucketCount> counts{};
    std::uint64_t total = 0;
    const std::int64_t period = now_ns / kGapSlotLengthNs;
    for (const GapSlot& slot : h.gaps) {
        if (slot.period <= period - static_cast<std::int64_t>(kGapSlotCount)) continue;
        for (std::size_t b = 0; b < kGapBucketCount; ++b) counts[b] += slot.counts[b];
    }
    for (const std::uint64_t c : counts) total += c;
    const auto quantile = [&](double q) {
        std::uint64_t below = 0;
        for (std::size_t b = 0; b < kGapBucketCount; ++b) {
            below += counts[b];
            if (static_cast<double>(below) >= q * static_cast<double>(total)) {
                return bucket_seconds(b);
            }
        }
        return 0.0;
    };
    if (total > 0) {
        f.gap_p50_s = quantile(0.50);
        f.gap_p99_s = quantile(0.99);
    }
    return f;
}
