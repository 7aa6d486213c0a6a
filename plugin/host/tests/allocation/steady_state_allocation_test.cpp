// Steady operation allocates nothing: every heap allocation made through operator new is
// counted while a stream of frames goes through decoding, the exchange, the G1 datagram and
// the monitor's listing, and through the plug-in kit to an author's frame function. Its own
// program, since it replaces the global operator new.
#include "plugin/host/frame_exchange.h"
#include "plugin/host/frame_step.h"
#include "plugin/kit/plugin_kit.h"
#include "plugin/monitor/frame_listing.h"
#include "testing/sample_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {

std::atomic<long> g_allocations{0};

void* counted_allocation(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void* counted_aligned_allocation(std::size_t size, std::align_val_t alignment) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    const auto align = static_cast<std::size_t>(alignment);
    if (void* p = std::aligned_alloc(align, (size + align - 1) / align * align)) {
        return p;
    }
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void* operator new[](std::size_t size) {
    return counted_allocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted_allocation(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return counted_aligned_allocation(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return counted_aligned_allocation(size, a);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace {

constexpr int kWarmUpCycles = 100;
constexpr int kCountedCycles = 10000;

// Frames of changing sizes, the largest among them and one without records, as a host's frames
// vary.
std::vector<StreamBuilder> frames() {
    return {sample_frame(100, 1), sample_frame(400, 2), sample_frame(1, 3), StreamBuilder{},
            sample_frame(67, 4)};
}

struct FramePath {
    std::vector<MessageRecord> records;
    FrameExchange exchange;
    FrameListing listing;
    std::size_t datagram_bytes = 0;
};

// One frame as Update and a repaint handle it.
void run_cycle(FramePath& path, const StreamBuilder& frame) {
    path.datagram_bytes +=
        frame_step(frame.bytes, frame.count, 0.016, path.records, path.exchange).length;
    frame_listing_take(path.listing, path.exchange);
}

long allocations_during(FramePath& path, const std::vector<StreamBuilder>& input, int cycles) {
    const long before = g_allocations.load();
    for (int i = 0; i < cycles; ++i) {
        run_cycle(path, input[static_cast<std::size_t>(i) % input.size()]);
    }
    return g_allocations.load() - before;
}

}  // namespace

TEST(SteadyStateAllocation, CounterSeesTheFirstFramesGrowTheirStorage) {
    const std::vector<StreamBuilder> input = frames();
    auto path = std::make_unique<FramePath>();
    EXPECT_GT(allocations_during(*path, input, static_cast<int>(input.size())), 0);
}

TEST(SteadyStateAllocation, TenThousandFramesAfterWarmUpAllocateNothing) {
    const std::vector<StreamBuilder> input = frames();
    auto path = std::make_unique<FramePath>();
    allocations_during(*path, input, kWarmUpCycles);
    EXPECT_EQ(allocations_during(*path, input, kCountedCycles), 0);
    EXPECT_GT(path->datagram_bytes, 0u);
}

namespace {

// An author's frame function that reads every message as the template's comments suggest.
void read_every_message(const TesselFrame& frame, void* user) {
    auto& read = *static_cast<double*>(user);
    char text[64];
    for (const TesselMessage& m : frame.messages) {
        read += tessel_double(m, 0) + static_cast<double>(tessel_int(m)) +
                static_cast<double>(tessel_text(m, text, sizeof text)) + tessel_name(m)[0];
    }
}

double g_read = 0.0;

TesselPlugin reading_plugin() {
    return {nullptr, read_every_message, nullptr, &g_read};
}

long kit_allocations_during(PluginKit& kit, const std::vector<StreamBuilder>& input, int cycles) {
    const long before = g_allocations.load();
    for (int i = 0; i < cycles; ++i) {
        const StreamBuilder& frame = input[static_cast<std::size_t>(i) % input.size()];
        plugin_kit_update(kit, 0.016, frame.bytes, frame.count);
    }
    return g_allocations.load() - before;
}

}  // namespace

TEST(SteadyStateAllocation, KitFramesToAnAuthorAfterWarmUpAllocateNothing) {
    const std::vector<StreamBuilder> input = frames();
    PluginKit kit;
    ASSERT_TRUE(plugin_kit_init(kit, reading_plugin));
    EXPECT_GT(kit_allocations_during(kit, input, kWarmUpCycles), 0);
    EXPECT_EQ(kit_allocations_during(kit, input, kCountedCycles), 0);
    EXPECT_EQ(kit.frames, static_cast<std::uint64_t>(kWarmUpCycles + kCountedCycles));
    plugin_kit_shutdown(kit);
}
