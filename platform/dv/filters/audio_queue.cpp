#include "dv/filters/audio_queue.h"

#include <algorithm>
#include <cstring>

namespace dv {

AudioQueue::AudioQueue(size_t capacityFrames) : capacity(capacityFrames), ring(capacityFrames * 2) {}

void AudioQueue::Open() {
    std::lock_guard<std::mutex> hold(lock);
    head = 0;
    size = 0;
    arrived = 0;
    wanted = 0;
    closed = false;
    ended = false;
    changed.notify_all();
}

void AudioQueue::SetFlag(bool AudioQueue::*flag, bool value) {
    std::lock_guard<std::mutex> hold(lock);
    this->*flag = value;
    changed.notify_all();
}

void AudioQueue::Close() { SetFlag(&AudioQueue::closed, true); }

void AudioQueue::Resume() { SetFlag(&AudioQueue::closed, false); }

void AudioQueue::EndOfStream() { SetFlag(&AudioQueue::ended, true); }

bool AudioQueue::Push(const int16_t* frames, size_t count) {
    std::unique_lock<std::mutex> hold(lock);
    while (count > 0) {
        // What does not fit waits until half the queue is free, so that the producer wakes
        // once every few frames rather than for every frame the consumer takes.
        if (capacity - size < count) changed.wait(hold, [&] { return closed || capacity - size >= capacity / 2; });
        if (closed) return false;
        if (arrived < wanted) {  // late: its frame was made already
            const size_t late = static_cast<size_t>(std::min<uint64_t>(wanted - arrived, count));
            arrived += late;
            frames += 2 * late;
            count -= late;
            continue;
        }
        const size_t tail = (head + size) % capacity;
        const size_t n = std::min({count, capacity - size, capacity - tail});
        std::memcpy(ring.data() + 2 * tail, frames, n * 2 * sizeof(int16_t));
        size += n;
        arrived += n;
        frames += 2 * n;
        count -= n;
        changed.notify_all();
    }
    return true;
}

void AudioQueue::DropBefore(uint64_t position) {
    wanted = std::max(wanted, position);
    const uint64_t oldest = arrived - size;
    if (wanted <= oldest) return;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted - oldest, size));
    head = (head + n) % capacity;
    size -= n;
    // Only once the producer may go on (see Push): waking it for less costs a wake-up a frame.
    if (n > 0 && capacity - size >= capacity / 2) changed.notify_all();
}

size_t AudioQueue::Take(uint64_t position, int16_t* out, size_t count, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        DropBefore(position);
        if (closed || ended || arrived >= position + count) break;
        if (changed.wait_until(hold, deadline) == std::cv_status::timeout) {
            DropBefore(position);
            break;
        }
    }
    std::memset(out, 0, count * 2 * sizeof(int16_t));
    // After DropBefore the queue starts at position or later: copy what lies in the window.
    const uint64_t oldest = arrived - size;
    if (oldest >= position + count || arrived <= position) return 0;
    const size_t skip = static_cast<size_t>(oldest - position);  // missing at the start
    const size_t present = static_cast<size_t>(std::min<uint64_t>(arrived, position + count) - oldest);
    size_t index = head;
    for (size_t done = 0; done < present;) {
        const size_t n = std::min(present - done, capacity - index);
        std::memcpy(out + 2 * (skip + done), ring.data() + 2 * index, n * 2 * sizeof(int16_t));
        done += n;
        index = (index + n) % capacity;
    }
    return present;
}

size_t AudioQueue::Queued() {
    std::lock_guard<std::mutex> hold(lock);
    return size;
}

}  // namespace dv
