// The plug-in under long and hostile use through its real exports: many Init/Shutdown cycles in
// every order a host or a user can bring about, and frames of random bytes.
#include "plugin/monitor/frame_listing.h"
#include "testing/guarded_buffer_win32.h"
#include "testing/monitor_window_win32.h"
#include "testing/plugin_under_test_win32.h"
#include "testing/process_usage_win32.h"
#include "testing/sample_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kCycles = 50;
constexpr int kWarmUpCycles = 5;  // the first start loads GDI+ and what the window needs
constexpr ULONGLONG kShutdownLimitMs = 1000;
// Wine now and then makes one object of its own late in a run and keeps it; a leak per cycle
// would add dozens.
constexpr long kHandleSlack = 2;
constexpr std::uint32_t kRandomSeed = 20240601;
constexpr int kRandomRounds = 8;
constexpr int kRandomFramesPerRound = 250;
constexpr int kRepaintWaitMs = 3000;  // several 500 ms repaint periods
constexpr std::size_t kMaxRandomBytes = 3 * 4096;

// How a cycle ends: by Shutdown with the window up, by the user closing the window first, or
// by a Shutdown that follows Init at once, before the window may exist.
enum class Ending { Shutdown, ClosedByHand, ShutdownRightAfterInit };

struct Cycle {
    Ending ending;
    bool went_as_planned;  // Init succeeded and the window came and went when it should
    ULONGLONG shutdown_ms;
    bool window_left;
    ProcessUsage after;
};

Cycle run_cycle(const PluginBinding& plugin, Ending ending, const StreamBuilder& frame) {
    bool planned = plugin.init(nullptr);
    if (ending != Ending::ShutdownRightAfterInit) {
        planned &= wait_until(kWindowWaitMs, [] { return monitor_window_find() != nullptr; });
        send_frame(plugin, frame);
    }
    if (ending == Ending::ClosedByHand) {
        ::PostMessageA(monitor_window_find(), WM_CLOSE, 0, 0);
        planned &= wait_until(kWindowWaitMs, [] { return monitor_window_find() == nullptr; });
        send_frame(plugin, frame);  // Update goes on without the window
    }
    const ULONGLONG start = ::GetTickCount64();
    plugin.shutdown();
    const ULONGLONG shutdown_ms = ::GetTickCount64() - start;
    return {ending, planned, shutdown_ms, monitor_window_find() != nullptr, process_usage()};
}

const char* name(Ending e) {
    switch (e) {
        case Ending::Shutdown: return "Shutdown with the window open";
        case Ending::ClosedByHand: return "window closed by hand, then Shutdown";
        case Ending::ShutdownRightAfterInit: return "Shutdown right after Init";
    }
    return "";
}

struct Lifecycle : ::testing::Test {
    WinsockSession winsock;
    PluginBinding plugin = plugin_load();
    StreamBuilder frame = sample_frame(100);

    void SetUp() override { ASSERT_NE(plugin.update, nullptr) << "cannot load " << kPluginDllName; }
    void TearDown() override { plugin_unbind(plugin); }

    // Cycles of every kind, interleaved; the first few only warm up.
    std::vector<Cycle> run_cycles() {
        constexpr Ending kOrder[] = {Ending::Shutdown, Ending::ClosedByHand,
                                     Ending::ShutdownRightAfterInit};
        std::vector<Cycle> cycles;
        for (int i = 0; i < kWarmUpCycles + kCycles; ++i) {
            cycles.push_back(run_cycle(plugin, kOrder[i % 3], frame));
            EXPECT_TRUE(cycles.back().went_as_planned)
                << "cycle " << i << ": " << name(kOrder[i % 3]);
        }
        return cycles;
    }
};

}  // namespace

TEST_F(Lifecycle, EveryShutdownReturnsWithinASecond) {
    const std::vector<Cycle> cycles = run_cycles();
    for (std::size_t i = 0; i < cycles.size(); ++i) {
        EXPECT_LE(cycles[i].shutdown_ms, kShutdownLimitMs)
            << "cycle " << i << ": " << name(cycles[i].ending);
    }
}

TEST_F(Lifecycle, NoWindowOrThreadOutlivesShutdown) {
    const long threads_before = process_usage().threads;
    const std::vector<Cycle> cycles = run_cycles();
    for (std::size_t i = 0; i < cycles.size(); ++i) {
        EXPECT_FALSE(cycles[i].window_left) << "cycle " << i << ": " << name(cycles[i].ending);
        EXPECT_EQ(cycles[i].after.threads, threads_before)
            << "cycle " << i << ": " << name(cycles[i].ending);
    }
}

TEST_F(Lifecycle, HandlesDoNotGrowOverFiftyCycles) {
    const std::vector<Cycle> cycles = run_cycles();
    const long warm = cycles[kWarmUpCycles - 1].after.handles;
    ASSERT_GT(warm, 0) << "the system did not list this process's handles";
    EXPECT_LE(cycles.back().after.handles, warm + kHandleSlack);
}

namespace {

std::uint64_t random_id(std::mt19937_64& rng) {
    switch (rng() % 3) {
        case 0: return kTrackedMessages[rng() % kTrackedMessages.size()].record.id;
        case 1: return message_catalogue_entries()[rng() % kMessageCatalogueSize].id;
        default: return rng();
    }
}

// Half plain noise, which seldom gets past its first size field; half noise laid out as
// records with plausible and implausible sizes, any data type and tracked ids among the rest,
// so that the datagram and the painter see garbage values too.
std::vector<std::uint8_t> random_frame(std::mt19937_64& rng) {
    std::vector<std::uint8_t> bytes(rng() % kMaxRandomBytes);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng());
    if (rng() % 2 == 0) {
        return bytes;
    }
    for (std::size_t at = 0; at + kRecordHeaderSize <= bytes.size();) {
        const auto size =
            static_cast<std::uint16_t>(rng() % 8 == 0 ? rng() % 256 : 64 + rng() % 65);
        const std::uint64_t id = random_id(rng);
        const auto type = static_cast<std::uint8_t>(rng() % 10);
        std::memcpy(bytes.data() + at + offsetof(MessageRecord, size), &size, sizeof size);
        std::memcpy(bytes.data() + at + offsetof(MessageRecord, id), &id, sizeof id);
        bytes[at + offsetof(MessageRecord, data_type)] = type;
        at += std::max<std::size_t>(size, kRecordHeaderSize);
    }
    return bytes;
}

std::uint32_t random_count(std::mt19937_64& rng) {
    return rng() % 4 == 0 ? static_cast<std::uint32_t>(rng())
                          : static_cast<std::uint32_t>(rng() % 200);
}

struct RandomFrames : ::testing::Test {
    WinsockSession winsock;
    PluginBinding plugin = plugin_load();
    GuardedBuffer guard{kMaxRandomBytes};
    std::mt19937_64 rng{kRandomSeed};

    void SetUp() override { ASSERT_NE(plugin.update, nullptr) << "cannot load " << kPluginDllName; }
    void TearDown() override { plugin_unbind(plugin); }

    // Rounds of random frames, each followed by a repaint when the window is up; counts the
    // calls that did not return as a handled frame with both out values zero, and the rounds
    // after which no repaint came.
    int run_rounds(bool window_open) {
        int mishandled = 0;
        for (int round = 0; round < kRandomRounds; ++round) {
            for (int i = 0; i < kRandomFramesPerRound; ++i) {
                const std::vector<std::uint8_t> bytes = random_frame(rng);
                const UpdateResult r =
                    plugin_update(plugin, kTestTimeStep, guard.place(bytes),
                                  static_cast<std::uint32_t>(bytes.size()), random_count(rng));
                mishandled += r.returned && r.out_a == 0 && r.out_b == 0 ? 0 : 1;
            }
            if (window_open && !repainted(monitor_window_find())) ++mishandled;
        }
        return mishandled;
    }

    // The header holds the paint counter, so every repaint changes it.
    static bool repainted(HWND window) {
        const int header_rows = static_cast<int>(kListingFirstLineY);
        const ClientPixels before = client_pixels(window);
        return wait_until(kRepaintWaitMs, [&] {
            const ClientPixels now = client_pixels(window);
            return now.width == before.width && now.height >= header_rows &&
                   before.height >= header_rows &&
                   !std::equal(now.rgb.begin(), now.rgb.begin() + now.width * header_rows,
                               before.rgb.begin());
        });
    }
};

}  // namespace

TEST_F(RandomFrames, EveryOneIsHandledWithBothOutValuesZero) {
    EXPECT_EQ(run_rounds(false), 0);
}

TEST_F(RandomFrames, TheMonitorKeepsRunningWhileRepaintingThem) {
    ASSERT_TRUE(plugin.init(nullptr));
    ASSERT_TRUE(wait_until(kWindowWaitMs, [] { return monitor_window_find() != nullptr; }));
    EXPECT_EQ(run_rounds(true), 0);
    DWORD_PTR answer = 0;
    EXPECT_NE(::SendMessageTimeoutA(monitor_window_find(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000,
                                    &answer),
              0)
        << "the monitor window no longer answers";
    plugin.shutdown();
}
