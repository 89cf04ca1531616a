// A bounded queue of 16-bit stereo sample frames between "DV Muxer"'s audio input pin and its
// video path, addressed by position (sample frames since the stream started) so that each DV
// frame takes exactly its own samples, whoever runs ahead.
//
// Threads and locks: one producer (the audio upstream's streaming thread, Push) and one consumer
// (the video upstream's streaming thread, Take); Open, Close, Resume and EndOfStream come from the
// graph's threads. `lock` guards everything and is a leaf lock: no call leaves the class with it.
// Every wait ends on Close.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace dv {

class AudioQueue {
public:
    explicit AudioQueue(size_t capacityFrames);

    // Empty, at position 0, taking samples: the start of a stream.
    void Open();
    // Wakes both sides: Push returns false, Take stops waiting, until Open or Resume.
    void Close();
    // Takes samples again after a flush; the positions go on.
    void Resume();
    // No more samples will come: Take stops waiting (until Open).
    void EndOfStream();

    // Appends `count` interleaved left/right frames. What does not fit waits until half the queue
    // is free (the producer then runs a few frames ahead at once). False when closed before all
    // of them went in.
    bool Push(const int16_t* frames, size_t count);

    // Fills out (count interleaved frames) with the frames at positions [position,
    // position + count), zero where one is missing, after dropping every frame before position.
    // Waits up to `wait` for the last of them while the queue is open and the stream not ended.
    // Frames taken stay queued, so the same position can be taken again (a frame refused
    // downstream is made again). Returns how many of the frames were there.
    size_t Take(uint64_t position, int16_t* out, size_t count, std::chrono::milliseconds wait);

    // Frames queued now.
    size_t Queued();

private:
    // Drops what lies before position, now and as it arrives. Lock held.
    void DropBefore(uint64_t position);
    // Sets one of the flags under the lock and wakes every waiter. Lock not held.
    void SetFlag(bool AudioQueue::*flag, bool value);

    const size_t capacity;
    std::mutex lock;
    std::condition_variable changed;  // any change of the fields below
    std::vector<int16_t> ring;        // capacity frames, two samples each
    size_t head = 0;                  // ring index (frames) of the oldest frame
    size_t size = 0;                  // frames queued
    uint64_t arrived = 0;             // frames pushed since Open: the next one's position
    uint64_t wanted = 0;              // frames before this position are no longer wanted
    bool closed = true;
    bool ended = false;
};

}  // namespace dv
