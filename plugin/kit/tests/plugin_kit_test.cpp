// The kit's lifecycle and frame API: the author's functions called in order with decoded
// frames, every exception kept from the host, and each value read by its type.
#include "plugin/kit/plugin_kit.h"
#include "plugin/host/frame_decoder.h"
#include "plugin/kit/tessel_plugin.h"

#include "tools/message_stream/stream_builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// What the author's functions saw, and what they are told to do.
struct Author {
    std::vector<std::string> calls;
    bool refuse = false;
    bool throw_in_started = false;
    bool throw_in_frame = false;
    bool throw_in_stopped = false;
    std::vector<std::string> names;  // of the last frame
    TesselFrame last{};
};

Author g_author;

bool started(void* user) {
    auto& a = *static_cast<Author*>(user);
    a.calls.push_back("started");
    if (a.throw_in_started) throw std::runtime_error("started");
    return !a.refuse;
}

void frame(const TesselFrame& f, void* user) {
    auto& a = *static_cast<Author*>(user);
    a.calls.push_back("frame " + std::to_string(f.number));
    a.last = f;
    a.names.clear();
    for (const TesselMessage& m : f.messages) a.names.push_back(tessel_name(m));
    if (a.throw_in_frame) throw std::bad_alloc();
}

void stopped(void* user) {
    auto& a = *static_cast<Author*>(user);
    a.calls.push_back("stopped");
    if (a.throw_in_stopped) throw 42;  // not even a std::exception
}

TesselPlugin author_main() {
    return {started, frame, stopped, &g_author};
}

TesselPlugin throwing_main() {
    throw std::runtime_error("main");
}

StreamBuilder two_messages() {
    StreamBuilder b;
    b.doubles("Simulation.Time", {1.5}).integer("Host.Emulator.FrameNumber", 9);
    return b;
}

struct KitTest : ::testing::Test {
    PluginKit kit;
    StreamBuilder stream = two_messages();
    void SetUp() override { g_author = Author{}; }
    bool update() { return plugin_kit_update(kit, 0.016, stream.bytes, stream.count); }
};

}  // namespace

TEST_F(KitTest, AuthorSeesStartedFramesInOrderAndStoppedOnlyWhileRunning) {
    EXPECT_TRUE(update());  // before Init: nothing of the author's runs
    ASSERT_TRUE(plugin_kit_init(kit, author_main));
    EXPECT_TRUE(update());
    EXPECT_TRUE(update());
    plugin_kit_shutdown(kit);
    EXPECT_TRUE(update());
    plugin_kit_shutdown(kit);  // a second Shutdown calls nothing
    ASSERT_TRUE(plugin_kit_init(kit, author_main));
    EXPECT_TRUE(update());
    ASSERT_TRUE(plugin_kit_init(kit, author_main));  // without Shutdown: the last run ends first
    EXPECT_TRUE(update());
    EXPECT_EQ(g_author.calls,
              (std::vector<std::string>{"started", "frame 1", "frame 2", "stopped", "started",
                                        "frame 1", "stopped", "started", "frame 1"}));
    EXPECT_EQ(g_author.names,
              (std::vector<std::string>{"Simulation.Time", "unknown"}));  // not in the catalogue
    EXPECT_EQ(g_author.last.announced, 2u);
    EXPECT_DOUBLE_EQ(g_author.last.dt, 0.016);
}

TEST_F(KitTest, NoExceptionOfTheAuthorsReachesTheHostAndEachBecomesAFalseResult) {
    EXPECT_FALSE(plugin_kit_init(kit, throwing_main));
    g_author.throw_in_started = true;
    EXPECT_FALSE(plugin_kit_init(kit, author_main));
    EXPECT_TRUE(update());  // not running: the frame is not the author's
    g_author.throw_in_started = false;
    g_author.refuse = true;
    EXPECT_FALSE(plugin_kit_init(kit, author_main));
    g_author.refuse = false;
    ASSERT_TRUE(plugin_kit_init(kit, author_main));
    g_author.throw_in_frame = true;
    EXPECT_FALSE(update());
    g_author.throw_in_frame = false;
    EXPECT_TRUE(update());  // the next frame goes on
    g_author.throw_in_stopped = true;
    plugin_kit_shutdown(kit);
    EXPECT_EQ(g_author.calls, (std::vector<std::string>{"started", "started", "started", "frame 1",
                                                        "frame 2", "stopped"}));
}

TEST_F(KitTest, AStreamThatEndsEarlyGivesTheMessagesItHoldsAndTheCountAnnounced) {
    ASSERT_TRUE(plugin_kit_init(kit, author_main));
    EXPECT_TRUE(plugin_kit_update(kit, 0.02, stream.bytes, 5));
    EXPECT_EQ(g_author.last.announced, 5u);
    EXPECT_EQ(g_author.names.size(), 2u);
    EXPECT_TRUE(plugin_kit_update(kit, 0.02, {}, 3));
    EXPECT_TRUE(g_author.names.empty());
}

TEST(TesselFrameApi, EachValueReadsByItsType) {
    StreamBuilder b;
    b.doubles("Aircraft.Altitude", {812.5})
        .doubles("Aircraft.Velocity", {1.0, -2.0, 3.5})
        .integer("Communication.TransponderCode", 7000)
        .text("Aircraft.Name", "Tessel Trainer")
        // U+00DC, U+1F6E9 as a surrogate pair, then a lone high surrogate.
        .wide_text("Aircraft.NearestAirport", {u'\u00dc', 0xD83D, 0xDEE9, 0xD800, u'x'})
        .none("Navigation.COM1FrequencySwap");
    std::vector<MessageRecord> records;
    decode_frame(b.bytes, b.count, records);
    ASSERT_EQ(records.size(), 6u);

    struct Row {
        TesselType type;
        std::size_t doubles;
        double first;  // NaN: none
        std::int64_t integer;
        std::string text;
    };
    const double nan = std::nan("");
    const Row rows[] = {
        {DataType::Double, 1, 812.5, 0, ""},
        {DataType::Vector3, 3, 1.0, 0, ""},
        {DataType::Int, 0, 7000.0, 7000, ""},
        {DataType::String, 0, nan, 0, "Tessel Trainer"},
        {DataType::WideString, 0, nan, 0, "\xc3\x9c\xf0\x9f\x9b\xa9\xef\xbf\xbdx"},
        {DataType::Void, 0, nan, 0, ""},
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        const TesselMessage& m = records[i];
        const Row& row = rows[i];
        SCOPED_TRACE(tessel_name(m));
        EXPECT_EQ(tessel_type(m), row.type);
        EXPECT_EQ(tessel_doubles(m), row.doubles);
        if (std::isnan(row.first)) {
            EXPECT_TRUE(std::isnan(tessel_double(m, 0)));
        } else {
            EXPECT_EQ(tessel_double(m, 0), row.first);
        }
        EXPECT_TRUE(std::isnan(tessel_double(m, row.doubles == 0 ? 1 : row.doubles)));
        EXPECT_EQ(tessel_int(m), row.integer);
        char text[64];
        EXPECT_EQ(tessel_text(m, text, sizeof text), row.text.size());
        EXPECT_EQ(std::string(text), row.text);
    }
    EXPECT_EQ(tessel_double(records[1], 2), 3.5);

    // Cut at a whole character: the pair's four bytes do not fit into six with the terminator.
    char small[6];
    EXPECT_EQ(tessel_text(records[4], small, sizeof small), 2u);
    EXPECT_EQ(std::string(small), "\xc3\x9c");
    EXPECT_EQ(tessel_text(records[3], small, sizeof small), 5u);
    EXPECT_EQ(std::string(small), "Tesse");
}

TEST(TesselFrameApi, FindGivesTheFramesLastMessageWithTheId) {
    StreamBuilder b;
    b.doubles("Aircraft.Bank", {0.1})
        .doubles("Aircraft.Pitch", {0.2})
        .doubles("Aircraft.Bank", {0.3});
    std::vector<MessageRecord> records;
    decode_frame(b.bytes, b.count, records);
    const TesselFrame frame{records, 0.016, 1, b.count};
    ASSERT_NE(tessel_find(frame, tessel_id("Aircraft.Bank")), nullptr);
    EXPECT_EQ(tessel_double(*tessel_find(frame, tessel_id("Aircraft.Bank")), 0), 0.3);
    EXPECT_EQ(tessel_find(frame, tessel_id("Aircraft.Altitude")), nullptr);
}
