// The frame hand-over: what each take returns, and its consistency under two threads.
#include "plugin/host/frame_exchange.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

// A frame whose every record carries `tag` as its id, so a take shows which frame it got.
std::vector<MessageRecord> frame(std::uint64_t tag, std::size_t count) {
    std::vector<MessageRecord> records(count);
    for (MessageRecord& r : records) {
        r.id = tag;
        r.flags = count;
    }
    return records;
}

bool is_frame(const TakenFrame& taken, std::uint64_t tag, std::size_t count) {
    if (taken.records.size() != count) return false;
    for (const MessageRecord& r : taken.records) {
        if (r.id != tag || r.flags != count) return false;
    }
    return true;
}

}  // namespace

TEST(FrameExchange, TakeBeforeAnyPublishIsEmpty) {
    FrameExchange exchange;
    const TakenFrame taken = frame_exchange_take(exchange);
    EXPECT_TRUE(taken.records.empty());
    EXPECT_EQ(taken.dt, 0.0);
    EXPECT_EQ(taken.counter, 1u);
}

TEST(FrameExchange, TakeAfterPublishGivesThatFrame) {
    FrameExchange exchange;
    frame_exchange_publish(exchange, frame(7, 3), 0.02);
    const TakenFrame taken = frame_exchange_take(exchange);
    EXPECT_TRUE(is_frame(taken, 7, 3));
    EXPECT_EQ(taken.dt, 0.02);
    EXPECT_EQ(taken.counter, 1u);
}

TEST(FrameExchange, SecondOfTwoPublishesIsTheOneTaken) {
    FrameExchange exchange;
    frame_exchange_take(exchange);
    frame_exchange_publish(exchange, frame(1, 5), 0.01);
    frame_exchange_publish(exchange, frame(2, 2), 0.03);
    const TakenFrame taken = frame_exchange_take(exchange);
    EXPECT_TRUE(is_frame(taken, 2, 2));
    EXPECT_EQ(taken.dt, 0.03);
    EXPECT_EQ(taken.counter, 2u);
}

TEST(FrameExchange, TakeWithoutNewPublishRepeatsTheLatestFrame) {
    FrameExchange exchange;
    frame_exchange_publish(exchange, frame(1, 4), 0.01);
    frame_exchange_take(exchange);
    frame_exchange_publish(exchange, frame(2, 3), 0.02);
    frame_exchange_take(exchange);
    for (std::uint64_t counter = 3; counter <= 5; ++counter) {
        const TakenFrame taken = frame_exchange_take(exchange);
        EXPECT_TRUE(is_frame(taken, 2, 3));
        EXPECT_EQ(taken.dt, 0.02);
        EXPECT_EQ(taken.counter, counter);
    }
}

TEST(FrameExchange, GrownBuffersAreReusedForSmallerFrames) {
    FrameExchange exchange;
    for (std::uint64_t tag = 0; tag < 2; ++tag) {
        frame_exchange_publish(exchange, frame(tag, 100), 0.0);
        frame_exchange_take(exchange);
    }
    const std::set<const MessageRecord*> buffers = {exchange.latest.data(),
                                                    exchange.display.data()};
    for (std::uint64_t tag = 2; tag < 10; ++tag) {
        frame_exchange_publish(exchange, frame(tag, tag * 10), 0.0);
        const TakenFrame taken = frame_exchange_take(exchange);
        EXPECT_TRUE(is_frame(taken, tag, tag * 10));
        EXPECT_EQ(buffers.count(exchange.latest.data()), 1u);
        EXPECT_EQ(buffers.count(exchange.display.data()), 1u);
    }
}

// Each take must give one whole published frame, never older than the one before it.
TEST(FrameExchange, TakesSeeWholeFramesWhilePublishesRunOnAnotherThread) {
    constexpr std::uint64_t kFrames = 20000;
    FrameExchange exchange;
    std::atomic<bool> done{false};
    std::thread host([&] {
        for (std::uint64_t tag = 1; tag <= kFrames; ++tag) {
            frame_exchange_publish(exchange, frame(tag, 1 + tag % 7), static_cast<double>(tag));
        }
        done = true;
    });

    std::uint64_t last_tag = 0;
    std::uint64_t takes = 0;
    bool whole = true;
    bool in_order = true;
    bool counted = true;
    const auto take = [&] {
        const TakenFrame taken = frame_exchange_take(exchange);
        counted = counted && taken.counter == ++takes;
        if (taken.records.empty()) return;
        const std::uint64_t tag = taken.records[0].id;
        whole = whole && is_frame(taken, tag, 1 + tag % 7) && taken.dt == static_cast<double>(tag);
        in_order = in_order && tag >= last_tag;
        last_tag = tag;
    };
    while (!done) {
        take();
    }
    host.join();
    take();
    EXPECT_TRUE(whole);
    EXPECT_TRUE(in_order);
    EXPECT_TRUE(counted);
    EXPECT_EQ(last_tag, kFrames);
}
