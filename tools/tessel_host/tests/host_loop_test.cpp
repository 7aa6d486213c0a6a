// The host emulator's frame loop: real time steps, recording, replay and stopping.
#include "tools/tessel_host/host_loop.h"

#include "plugin/host/frame_decoder.h"
#include "plugin/telemetry/g1_datagram.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Collected {
    std::vector<StreamFrame> frames;
    HostCalls calls() {
        HostCalls c;
        c.update = [this](const StreamFrame& f) {
            frames.push_back(f);
            return true;
        };
        return c;
    }
};

double time_of(const StreamFrame& frame) {
    std::vector<MessageRecord> records;
    decode_frame(frame.bytes, frame.count, records);
    return g1_gather(records).time;
}

}  // namespace

TEST(HostLoop, SendsFramesAtTheRateWithTheirRealTimeSteps) {
    HostPlan plan;
    plan.rate_hz = 100.0;
    plan.seconds = 0.3;
    Collected got;
    const HostProgress done = host_run(plan, got.calls());
    ASSERT_GE(got.frames.size(), 15u);
    EXPECT_LE(got.frames.size(), 31u);
    EXPECT_EQ(done.frames, got.frames.size());
    double sum = 0.0;
    for (const StreamFrame& f : got.frames) {
        EXPECT_GT(f.dt, 0.0);
        sum += f.dt;
    }
    EXPECT_DOUBLE_EQ(time_of(got.frames.back()), sum) << "simulation time is the sum of the steps";
    EXPECT_NEAR(sum, done.elapsed, 0.05);
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
