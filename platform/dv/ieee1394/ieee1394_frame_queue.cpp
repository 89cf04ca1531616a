#include "dv/ieee1394/ieee1394_frame_queue.h"

#include <chrono>
#include <cstring>

namespace dv {

Ieee1394FrameQueue::Ieee1394FrameQueue(size_t frameBytes, size_t capacity)
    : frameBytes(frameBytes), slots(capacity < 1 ? 2 : capacity + 1) {
    for (size_t i = 0; i < slots.size(); ++i) {
        slots[i].resize(frameBytes);
        freeSlots.push_back(int(i));
    }
}

Ieee1394FrameQueue::PushResult Ieee1394FrameQueue::Push(const uint8_t* frame, int timeoutMs) {
    int slot;
    {
        std::unique_lock<std::mutex> guard(lock);
        const bool ready = room.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                         [&] { return cancelled || !freeSlots.empty(); });
        if (cancelled) return PushResult::Cancelled;
        if (!ready) return PushResult::TimedOut;
        slot = freeSlots.back();
        freeSlots.pop_back();
    }
    std::memcpy(slots[size_t(slot)].data(), frame, frameBytes);
    std::lock_guard<std::mutex> guard(lock);
    queuedSlots.push_back(slot);
    return PushResult::Queued;
}

void Ieee1394FrameQueue::Cancel() {
    std::lock_guard<std::mutex> guard(lock);
    cancelled = true;
    room.notify_all();
}

bool Ieee1394FrameQueue::Feed(uint8_t* data, int difBlocks, unsigned droppedPackets) {
    if (difBlocks <= 0) {  // an empty packet carries no data
        if (droppedPackets > 0) {
            std::lock_guard<std::mutex> guard(lock);
            count.packetsDropped += droppedPackets;
        }
        return current >= 0;
    }
    size_t want = size_t(difBlocks) * 80;
    if (droppedPackets > 0 || current < 0 || offset >= frameBytes) {
        std::lock_guard<std::mutex> guard(lock);
        count.packetsDropped += droppedPackets;
        if (current < 0 || offset >= frameBytes) {
            if (!queuedSlots.empty()) {
                if (current >= 0) {
                    freeSlots.push_back(current);
                    room.notify_one();
                }
                current = queuedSlots.front();
                queuedSlots.pop_front();
                ++count.framesSent;
                repeatRun = 0;
            } else if (current >= 0) {
                ++count.framesRepeated;
                if (++repeatRun > count.longestRepeatRun) {
                    count.longestRepeatRun = repeatRun;
                    count.longestRepeatAfter = count.framesSent;
                }
            } else {
                return false;
            }
            offset = 0;
        }
    }
    while (want > 0) {
        const size_t n = want < frameBytes - offset ? want : frameBytes - offset;
        std::memcpy(data, slots[size_t(current)].data() + offset, n);
        data += n;
        offset += n;
        want -= n;
        if (want > 0) offset = 0;  // a packet larger than what is left wraps onto the same frame
    }
    return true;
}

Ieee1394FrameQueue::Counters Ieee1394FrameQueue::counters() {
    std::lock_guard<std::mutex> guard(lock);
    return count;
}

bool Ieee1394FrameQueue::DryAtFrameBoundary() {
    std::lock_guard<std::mutex> guard(lock);
    return (current < 0 || offset >= frameBytes) && queuedSlots.empty();
}

size_t Ieee1394FrameQueue::queued() {
    std::lock_guard<std::mutex> guard(lock);
    return queuedSlots.size();
}

}  // namespace dv
