// A recording played from any moment: its time index over a generated capture, and a replay
// that seeks in it shows the moment and the minute before, read from the file.
#include "tools/g1/sources/replay_index.h"

#include "tools/g1/sinks/serve/serve_replay.h"
#include "tools/g1/sources/replay.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr UdpAddress kA{0xC0A80114, 49152};  // 192.168.1.20
constexpr UdpAddress kB{0xC0A80115, 49152};  // 192.168.1.21
constexpr UdpAddress kG1{kLimitedBroadcastIp, kG1Port};
constexpr std::int64_t kReplayT0 = 1'765'000'000'000'000'000;
constexpr std::int64_t kReplaySecond = 1'000'000'000;

std::string g1(std::int64_t field, int bank) {
    return "G1," + std::to_string(static_cast<std::int32_t>(field)) + ",0,0,0," +
           std::to_string(bank) + ",0,0,0,0,0,0,0,0,";
}

// A at 50 Hz for 130 s, its time field passing the 32-bit limit at 20 s; B at 10 Hz from 10 s
// to 40 s; one malformed datagram of A; other traffic; a record whose clock went back 5 s.
std::string capture() {
    std::string file = pcap_file_header(), record;
    const auto add = [&](std::int64_t t, UdpAddress from, std::string payload, UdpAddress to) {
        pcap_record({t, from, to, std::move(payload)}, record);
        file += record;
    };
    for (int k = 0; k < 130 * 50; ++k) {
        const std::int64_t t = kReplayT0 + k * kReplaySecond / 50;
        add(t, kA, g1(INT_MAX - 20'000'000LL + k * 20'000LL, k), kG1);
        if (k % 5 == 0 && k >= 500 && k < 2000) add(t + 1000, kB, g1(k * 20'000LL, -k), kG1);
        if (k == 3000) add(t + 2000, kA, "G1,broken", kG1);
        if (k == 3100) add(t + 3000, kA, "not G1", {kLimitedBroadcastIp, 53});
    }
    add(kReplayT0 + 125 * kReplaySecond, kA, g1(INT_MAX + 110'000'001LL, 7), kG1);
    return file;
}

}  // namespace

TEST(ReplayIndex, IndexesByTimeAndReadsOneRecordBack) {
    std::istringstream in(capture());
    ReplayIndex index;
    std::string error;
    ASSERT_TRUE(replay_index_build(in, index, error)) << error;
    ASSERT_EQ(index.tracks.size(), 2u);
    const ReplayTrack& a = index.tracks[0];
    EXPECT_EQ(a.ip, kA.ip);
    EXPECT_EQ(a.entries.size(), 130u * 50 + 2);
    EXPECT_EQ(index.tracks[1].entries.size(), 300u);
    EXPECT_EQ(index.other, 1u);
    EXPECT_EQ(index.start_ns, kReplayT0);
    // The clock that went back adds nothing to the timeline.
    EXPECT_EQ(index.length_ns, 130 * kReplaySecond - kReplaySecond / 50);
    // The time field unwraps across its limit, as a receiver's does.
    const std::size_t at_30s = replay_track_find(a, 30 * kReplaySecond);
    EXPECT_EQ(a.entries[at_30s].time_us, INT_MAX - 20'000'000LL + 1500 * 20'000LL);
    EXPECT_EQ(replay_track_find(index.tracks[1], 9 * kReplaySecond),
              index.tracks[1].entries.size());
    EXPECT_EQ(replay_track_find(a, 0), 0u);
    PcapDatagram d;
    ASSERT_TRUE(replay_index_read(in, index, a.entries[at_30s], d, error)) << error;
    EXPECT_EQ(d.payload, g1(INT_MAX - 20'000'000LL + 1500 * 20'000LL, 1500));
    EXPECT_FALSE(a.entries[3001].well_formed);
}

TEST(ReplayIndex, PlaysWhatLoadingPlaysHoweverManyMegabytesPortsSentBeforeTheirFirstG1) {
    // 300 ports, each sent 66 datagrams of 1 KB (20 MB in all) before its first G1, among the
    // G1 port's; one more port never carries G1.
    constexpr int kPorts = 300;
    std::string file = pcap_file_header(), record;
    const auto add = [&](std::int64_t k, std::uint16_t port, std::string payload) {
        pcap_record({kReplayT0 + k * 1000, kA, {kLimitedBroadcastIp, port}, payload}, record);
        file += record;
    };
    for (std::int64_t k = 0; k < static_cast<std::int64_t>(kReplayHeldPerPort) + 2; ++k) {
        add(k, kG1Port, g1(k, 0));
        for (int p = 0; p <= kPorts; ++p)
            add(k, 40000 + p, std::to_string(k * 1000 + p) + std::string(1000, '.'));
    }
    for (int p = 0; p < kPorts; ++p) add(100, 40000 + p, g1(p, 1));
    std::istringstream loading(file), indexing(file);
    ReplayLoad load;
    ReplayIndex index;
    std::string error;
    ASSERT_TRUE(replay_load(loading, load, error)) << error;
    ASSERT_TRUE(replay_index_build(indexing, index, error)) << error;
    const std::vector<ReplayIndexEntry>& e = index.tracks.at(0).entries;
    ASSERT_EQ(e.size(), (kReplayHeldPerPort + 3) * kPorts - 2 * kPorts + kReplayHeldPerPort + 2);
    ASSERT_EQ(load.datagrams.size(), e.size());
    EXPECT_EQ(load.unheld, 2u * kPorts);
    EXPECT_EQ(index.unheld, load.unheld);
    EXPECT_EQ(index.other, kReplayHeldPerPort + 2);
    EXPECT_EQ(load.other, index.other);
    PcapDatagram d;
    for (std::size_t i = 0; i < e.size(); ++i) {
        ASSERT_TRUE(replay_index_read(indexing, index, e[i], d, error)) << error;
        ASSERT_EQ(d.payload, load.datagrams[i].payload) << i;
        ASSERT_EQ(d.time_ns, load.datagrams[i].time_ns) << i;
    }
}

TEST(ReplayIndex, ASeekShowsTheMomentAndTheMinuteBeforeIt) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "g1_replay_index_test.pcap";
    std::ofstream(path, std::ios::binary) << capture();
    ServeReplay replay;
    std::string error;
    ASSERT_TRUE(serve_replay_open(replay, path.string(), kB.ip, {}, 2.0, false, 0, error)) << error;
    EXPECT_EQ(replay.index.tracks.front().ip, kB.ip);  // the sender asked for comes first
    struct Shown {
        std::uint64_t datagrams = 0, moments = 0;
        std::int64_t latest_us = -1;
        std::size_t history = 0;
        std::int64_t oldest_us = 0;
    } a;
    ServeReplayOutput out;
    out.datagram = [&](const UdpDatagram& d, std::span<const char>, std::int64_t time_us,
                       std::int64_t) {
        if (d.from.ip == kA.ip) ++a.datagrams, a.latest_us = time_us;
    };
    out.moment = [&](std::uint32_t ip, const SenderHistory& h, const SenderSample* latest,
                     std::int64_t) {
        if (ip != kA.ip) return;
        ++a.moments;
        a.latest_us = latest != nullptr ? latest->time_us : -1;
        a.history = h.count;
        a.oldest_us = h.count > 0 ? history_at(h, 0).time_us : 0;
    };
    const std::int64_t base_us = INT_MAX - 20'000'000LL;
    ASSERT_TRUE(serve_replay_tick(replay, 0, out, error));  // the first datagram, as received
    EXPECT_EQ(a.datagrams, 1u);
    EXPECT_EQ(a.latest_us, base_us);
    ASSERT_TRUE(serve_replay_tick(replay, kReplaySecond, out, error));  // 2 s at twice the pace
    EXPECT_EQ(a.datagrams, 101u);
    EXPECT_EQ(a.latest_us, base_us + 100 * 20'000);
    // Seek to 100 s: the moment, and a minute of history at a sample a step, from the file.
    ASSERT_TRUE(playback_control(replay.playback, "pause&seek=100000", kReplaySecond, error))
        << error;
    ASSERT_TRUE(serve_replay_tick(replay, kReplaySecond, out, error));
    EXPECT_EQ(a.moments, 1u);
    EXPECT_EQ(a.latest_us, base_us + 5000 * 20'000);
    EXPECT_EQ(a.history, 600u);
    EXPECT_EQ(a.latest_us - a.oldest_us, 59'900'000);
    // Paused, nothing more comes; backwards, a second jump.
    ASSERT_TRUE(serve_replay_tick(replay, 5 * kReplaySecond, out, error));
    EXPECT_EQ(a.datagrams, 101u);
    ASSERT_TRUE(playback_control(replay.playback, "seek=20000&play", 5 * kReplaySecond, error));
    ASSERT_TRUE(serve_replay_tick(replay, 5 * kReplaySecond, out, error));
    EXPECT_EQ(a.moments, 2u);
    EXPECT_EQ(a.history, 201u);
    replay.file.close();  // Windows removes no open file
    std::filesystem::remove(path);
}

TEST(ServePlayback, ControlsChangeTheStateOrNothing) {
    Playback p = playback_start(60 * kReplaySecond, 1.0, false, 0);
    std::string error;
    const struct {
        std::string_view query;
        bool taken;
        std::int64_t at_ns;  // where it stands 1 s after the control
        bool paused;
        double speed;
    } rows[] = {
        {"speed=2", true, 2 * kReplaySecond, false, 2.0},             // 0 + 2 s
        {"seek=30000&pause", true, 30 * kReplaySecond, true, 2.0},    // paused where it was sought
        {"speed=17", false, 30 * kReplaySecond, true, 2.0},           // refused: nothing changes
        {"seek=1000&speed=x", false, 30 * kReplaySecond, true, 2.0},  // not even the seek
        {"seek=-5&play&speed=0.25", true, kReplaySecond / 4, false, 0.25},
        {"seek=99999999", true, 60 * kReplaySecond, true,
         0.25},                                          // past the end: ended, paused there
        {"play", true, kReplaySecond / 4, false, 0.25},  // at the end: from the start
        {"loop=1&seek=59900", true, 0, false, 0.25},     // looped round, from the start
        {"jump", false, kReplaySecond / 4, false, 0.25},
    };
    std::int64_t now = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(playback_control(p, row.query, now, error), row.taken) << row.query;
        now += kReplaySecond;
        EXPECT_EQ(playback_advance(p, now), row.at_ns) << row.query;
        EXPECT_EQ(p.paused, row.paused) << row.query;
        EXPECT_EQ(p.speed, row.speed) << row.query;
    }
}
