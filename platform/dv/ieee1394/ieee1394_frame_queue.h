// The frames waiting for the IEEE 1394 transmitter: a bounded queue between the device filter's
// streaming thread (the producer, which blocks while the queue is full: that is the bus pacing
// it) and libiec61883's feeder callback (the consumer, called once per isochronous packet on the
// loop thread, which must never wait). When the queue runs dry the consumer repeats the frame it
// sent last, as a camcorder expects a continuous stream; the repeats are counted.
//
// Threads and locks: Push and Cancel on any thread, Feed on one consumer thread. `lock` guards
// the slot lists and counters; the producer holds it only to take or hand over a slot (never
// while copying a frame or waiting: the condition variable releases it), and the consumer takes
// it only at a frame boundary, so Feed never waits for more than those few instructions. A slot's
// bytes belong to whoever took it off a list.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "dv/dv_system.h"

namespace dv {

class Ieee1394FrameQueue {
public:
    enum class PushResult { Queued, Cancelled, TimedOut };

    // `capacity` frames may wait besides the one being sent; at least one.
    explicit Ieee1394FrameQueue(size_t frameBytes = k525_60.frameBytes, size_t capacity = 3);

    // Copies a frame of frameBytes in; waits up to timeoutMs for room.
    PushResult Push(const uint8_t* frame, int timeoutMs);
    // Makes a waiting Push return Cancelled, and every later one.
    void Cancel();

    // Fills difBlocks x 80 bytes of the next packet with the next part of the current frame,
    // moving to the next queued frame (or repeating the current one) at a frame boundary.
    // `droppedPackets` is what the library reports lost since its last call. False, with the
    // packet left untouched, before any frame was ever pushed.
    bool Feed(uint8_t* data, int difBlocks, unsigned droppedPackets);

    struct Counters {
        uint64_t framesSent = 0;      // queued frames the consumer started sending
        uint64_t framesRepeated = 0;  // times the queue was dry at a frame boundary
        uint64_t longestRepeatRun = 0;    // repeats in the longest run without a new frame between
        uint64_t longestRepeatAfter = 0;  // framesSent when that run began
        uint64_t packetsDropped = 0;  // as reported by the library
    };
    Counters counters();
    size_t queued();
    // Consumer only: the frame being sent is done (or none was ever sent) and none is queued.
    bool DryAtFrameBoundary();

private:
    const size_t frameBytes;
    std::vector<std::vector<uint8_t>> slots;  // capacity + 1: one is being sent
    std::mutex lock;
    std::condition_variable room;             // signalled when a slot comes free or on Cancel
    std::vector<int> freeSlots;               // lock
    std::deque<int> queuedSlots;              // lock
    bool cancelled = false;                   // lock
    Counters count;                           // lock
    uint64_t repeatRun = 0;                   // lock: repeats since the last new frame
    // Consumer's own: the slot being sent and how far (only Feed touches these).
    int current = -1;
    size_t offset = 0;
};

}  // namespace dv
