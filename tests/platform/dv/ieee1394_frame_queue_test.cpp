// The queue between the device filter and the IEEE 1394 feeder callback.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dv/ieee1394/ieee1394_frame_queue.h"

namespace {

constexpr size_t kFrame = 120000;
constexpr int kPacketsPerFrame = kFrame / 480;

std::vector<uint8_t> Frame(uint8_t value) { return std::vector<uint8_t>(kFrame, value); }

// Feeds one whole frame's worth of packets and returns the first byte of each packet, which
// tells which frame they came from.
std::vector<uint8_t> FeedFrame(dv::Ieee1394FrameQueue& queue) {
    std::vector<uint8_t> firsts;
    uint8_t packet[480];
    for (int i = 0; i < kPacketsPerFrame; ++i) {
        EXPECT_TRUE(queue.Feed(packet, 6, 0));
        firsts.push_back(packet[0]);
    }
    return firsts;
}

TEST(Ieee1394FrameQueue, SendsFramesInOrderAndRepeatsTheLastWhenDry) {
    dv::Ieee1394FrameQueue queue(kFrame, 3);
    uint8_t packet[480] = {};
    EXPECT_FALSE(queue.Feed(packet, 6, 0)) << "nothing to send before the first frame";

    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(1).data(), 0));
    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(2).data(), 0));
    EXPECT_EQ(std::vector<uint8_t>(kPacketsPerFrame, 1), FeedFrame(queue));
    EXPECT_EQ(std::vector<uint8_t>(kPacketsPerFrame, 2), FeedFrame(queue));
    // Dry: frame 2 again, whole, and counted.
    EXPECT_EQ(std::vector<uint8_t>(kPacketsPerFrame, 2), FeedFrame(queue));
    EXPECT_EQ(std::vector<uint8_t>(kPacketsPerFrame, 2), FeedFrame(queue));
    // A frame pushed mid-repeat waits for the frame boundary: no frame is ever cut.
    std::vector<uint8_t> firsts;
    for (int i = 0; i < 10; ++i) {
        queue.Feed(packet, 6, 0);
        firsts.push_back(packet[0]);
    }
    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(3).data(), 0));
    for (int i = 10; i < kPacketsPerFrame; ++i) {
        queue.Feed(packet, 6, 0);
        firsts.push_back(packet[0]);
    }
    EXPECT_EQ(std::vector<uint8_t>(kPacketsPerFrame, 2), firsts);
    EXPECT_EQ(std::vector<uint8_t>(kPacketsPerFrame, 3), FeedFrame(queue));

    const auto c = queue.counters();
    EXPECT_EQ(3u, c.framesSent);
    EXPECT_EQ(3u, c.framesRepeated);
}

TEST(Ieee1394FrameQueue, ProducerWaitsForRoomAndCanBeCancelledOrTimedOut) {
    dv::Ieee1394FrameQueue queue(kFrame, 2);
    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(1).data(), 0));
    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(2).data(), 0));
    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(3).data(), 0));
    // Full (three frames wait): no room until the consumer finishes a frame.
    EXPECT_EQ(dv::Ieee1394FrameQueue::PushResult::TimedOut, queue.Push(Frame(4).data(), 20));

    std::atomic<bool> pushed{false};
    std::thread producer([&] {
        EXPECT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(4).data(), 10000));
        pushed = true;
    });
    FeedFrame(queue);  // starts frame 1: its slot is in use, still no room
    FeedFrame(queue);  // frame 1 done, frame 2 starts: frame 1's slot comes free
    producer.join();
    EXPECT_TRUE(pushed);

    std::thread blocked([&] {
        EXPECT_EQ(dv::Ieee1394FrameQueue::PushResult::Cancelled, queue.Push(Frame(5).data(), 60000));
    });
    queue.Cancel();
    blocked.join();
    EXPECT_EQ(dv::Ieee1394FrameQueue::PushResult::Cancelled, queue.Push(Frame(6).data(), 0));
}

TEST(Ieee1394FrameQueue, FeederNeverWaitsForAStalledProducerAndCountsDrops) {
    dv::Ieee1394FrameQueue queue(kFrame, 1);
    ASSERT_EQ(dv::Ieee1394FrameQueue::PushResult::Queued, queue.Push(Frame(9).data(), 0));
    uint8_t packet[480];
    // The producer is never heard of again; the feeder goes on for many frames on its own.
    for (int i = 0; i < kPacketsPerFrame * 20; ++i) ASSERT_TRUE(queue.Feed(packet, 6, i % 100 == 0 ? 2 : 0));
    EXPECT_EQ(9, packet[479]);
    queue.Feed(packet, 0, 0);  // an empty packet takes nothing
    const auto c = queue.counters();
    EXPECT_EQ(1u, c.framesSent);
    EXPECT_EQ(19u, c.framesRepeated);
    EXPECT_EQ(100u, c.packetsDropped);
}

}  // namespace
