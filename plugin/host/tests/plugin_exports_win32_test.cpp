// The plug-in as the host sees it: loaded with LoadLibrary and driven through its exports.
#include "testing/guarded_buffer_win32.h"
#include "testing/monitor_window_win32.h"
#include "testing/plugin_under_test_win32.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct PluginExports : ::testing::Test {
    WinsockSession winsock;
    PluginBinding plugin = plugin_load();

    void SetUp() override {
        ASSERT_NE(plugin.module, nullptr) << "could not load " << kPluginDllName;
        ASSERT_NE(plugin.update, nullptr);
    }
    void TearDown() override { plugin_unbind(plugin); }
};

}  // namespace

TEST_F(PluginExports, InterfaceVersionIsTwoBeforeAndAfterInit) {
    EXPECT_EQ(plugin.get_interface_version(), 2);
    ASSERT_TRUE(plugin.init(nullptr));
    EXPECT_EQ(plugin.get_interface_version(), 2);
    plugin.shutdown();
    EXPECT_EQ(plugin.get_interface_version(), 2);
}

TEST_F(PluginExports, UpdateWritesZeroThroughBothOutPointers) {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0});
    const UpdateResult with_records = send_frame(plugin, b);
    EXPECT_TRUE(with_records.returned);
    EXPECT_EQ(with_records.out_a, 0u);
    EXPECT_EQ(with_records.out_b, 0u);
    const UpdateResult empty = plugin_update(plugin, kTestTimeStep, b.bytes.data(), 0, 0);
    EXPECT_TRUE(empty.returned);
    EXPECT_EQ(empty.out_a, 0u);
    EXPECT_EQ(empty.out_b, 0u);
}

TEST_F(PluginExports, NullStreamAndNullOutPointersAreSafe) {
    EXPECT_TRUE(plugin.update(0.016, nullptr, 4096, 10, nullptr, nullptr, nullptr));
    std::uint32_t a = 7;
    EXPECT_TRUE(plugin.update(0.016, nullptr, 0, 0, nullptr, &a, nullptr));
    EXPECT_EQ(a, 0u);
}

TEST_F(PluginExports, StreamEndingBeforeANoAccessPageIsNeverReadPast) {
    GuardedBuffer guard(4096);
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.0}).doubles("Aircraft.Velocity", {1.0, 2.0, 3.0});
    const std::uint8_t* stream = guard.place(b.bytes);
    const auto size = static_cast<std::uint32_t>(b.bytes.size());
    EXPECT_TRUE(plugin_update(plugin, kTestTimeStep, stream, size, 1000).returned);

    // A last record whose size field promises more than the stream holds.
    b.raw(message_id("Aircraft.Name"), DataType::String, 128, "abc", 3);
    const std::uint8_t* cut = guard.place(b.bytes);
    EXPECT_TRUE(
        plugin_update(plugin, kTestTimeStep, cut, static_cast<std::uint32_t>(b.bytes.size()), 3)
            .returned);
}

TEST_F(PluginExports, InitShutdownTwiceStartsAndEndsTwoWindowThreads) {
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(plugin.init(nullptr));
        HWND window = nullptr;
        wait_until(kWindowWaitMs, [&] { return (window = monitor_window_find()) != nullptr; });
        ASSERT_NE(window, nullptr) << "Init started no window thread";
        const DWORD thread_id = ::GetWindowThreadProcessId(window, nullptr);
        EXPECT_NE(thread_id, ::GetCurrentThreadId());
        const ThreadWatch thread(thread_id);
        plugin.shutdown();
        EXPECT_TRUE(thread.ends_within(0)) << "Shutdown returned before the window thread ended";
    }
}
