// The host emulator's frame loop: pacing and time steps by the clock, recording, replay and
// stopping. A clock of the test's own stands still until the loop sleeps or a frame takes time.
#include "tools/tessel_host/host_loop.h"

#include "plugin/host/frame_decoder.h"
#include "plugin/telemetry/g1_datagram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sstream>

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

struct Collected {
    nanoseconds now{0};
    std::vector<StreamFrame> frames;
    std::vector<nanoseconds> sent_at;
    std::size_t slow_frame = SIZE_MAX;  // the one frame during which the clock moves on
    nanoseconds slow_frame_takes{0};

    HostCalls calls() {
        HostCalls c;
        c.update = [this](const StreamFrame& f) {
            frames.push_back(f);
            sent_at.push_back(now);
            if (frames.size() - 1 == slow_frame) now += slow_frame_takes;
            return true;
        };
        c.clock.now = [this] { return now; };
        c.clock.sleep_until = [this](nanoseconds at) { now = std::max(now, at); };
        return c;
    }
};

double time_of(const StreamFrame& frame) {
    std::vector<MessageRecord> records;
    decode_frame(frame.bytes, frame.count, records);
    return g1_gather(records).time;
}

}  // namespace

TEST(HostLoop, SendsFramesAtTheRateWithTheStepsTheClockShows) {
    HostPlan plan;
    plan.rate_hz = 100.0;
    plan.seconds = 0.3;
    Collected got;
    const HostProgress done = host_run(plan, got.calls());
    ASSERT_EQ(got.frames.size(), 30u);
    EXPECT_EQ(done.frames, 30u);
    double sum = 0.0;
    for (std::size_t i = 0; i < got.frames.size(); ++i) {
        EXPECT_EQ(got.sent_at[i], milliseconds(10) * i) << "frame " << i;
        EXPECT_DOUBLE_EQ(got.frames[i].dt, 0.01) << "frame " << i;
        sum += got.frames[i].dt;
    }
    EXPECT_DOUBLE_EQ(time_of(got.frames.back()), sum) << "simulation time is the sum of the steps";
    EXPECT_DOUBLE_EQ(done.elapsed, 0.3);
}

TEST(HostLoop, AfterASlowFrameThePacingStartsAgainWithoutABurst) {
    HostPlan plan;
    plan.rate_hz = 100.0;
    plan.seconds = 0.2;
    Collected got;
    got.slow_frame = 2;
    got.slow_frame_takes = milliseconds(100);
    host_run(plan, got.calls());
    ASSERT_GE(got.frames.size(), 6u);
    EXPECT_EQ(got.sent_at[3], milliseconds(120));
    EXPECT_DOUBLE_EQ(got.frames[3].dt, 0.1) << "the step is the time that passed";
    for (std::size_t i = 4; i < got.frames.size(); ++i) {
        EXPECT_EQ(got.sent_at[i] - got.sent_at[i - 1], milliseconds(10)) << "frame " << i;
        EXPECT_DOUBLE_EQ(got.frames[i].dt, 0.01) << "frame " << i;
    }
}

TEST(HostLoop, ReplayOfARecordingSendsTheSameFrames) {
    HostPlan plan;
    plan.rate_hz = 200.0;
    plan.seconds = 0.1;
    std::stringstream file;
    plan.record = &file;
    Collected sent;
    host_run(plan, sent.calls());

    std::vector<StreamFrame> frames;
    StreamReader reader{&file};
    std::string error;
    ASSERT_EQ(stream_read_header(reader, error), StreamRead::Frame) << error;
    StreamFrame f;
    while (stream_read_frame(reader, f, error) == StreamRead::Frame) frames.push_back(f);
    ASSERT_EQ(frames.size(), sent.frames.size());

    HostPlan replay;
    replay.replay = &frames;
    replay.seconds = 0.0;
    Collected replayed;
    host_run(replay, replayed.calls());
    ASSERT_EQ(replayed.frames.size(), sent.frames.size());
    for (std::size_t i = 0; i < sent.frames.size(); ++i) {
        EXPECT_EQ(replayed.frames[i].dt, sent.frames[i].dt);
        EXPECT_EQ(replayed.frames[i].bytes, sent.frames[i].bytes);
        EXPECT_EQ(replayed.sent_at[i], sent.sent_at[i]) << "frame " << i << " is sent as recorded";
    }
}

TEST(HostLoop, StopRequestEndsTheRun) {
    HostPlan plan;
    plan.rate_hz = 200.0;
    plan.seconds = 0.0;
    Collected got;
    HostCalls calls = got.calls();
    calls.stop_requested = [&] { return got.frames.size() >= 5; };
    const HostProgress done = host_run(plan, calls);
    EXPECT_EQ(done.frames, 5u);
    EXPECT_TRUE(done.stopped);
}

TEST(HostLoop, RecordFileThatCannotBeWrittenEndsTheRunAndSaysSo) {
    HostPlan plan;
    plan.seconds = 1.0;
    std::ostringstream broken;
    broken.setstate(std::ios::badbit);
    plan.record = &broken;
    Collected got;
    const HostProgress done = host_run(plan, got.calls());
    EXPECT_TRUE(done.record_failed);
    EXPECT_TRUE(got.frames.empty());
}
