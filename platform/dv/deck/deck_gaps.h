// The virtual deck's account of one sender's gaps: ticks at which the deck had no new frame from
// the sender and so showed the last one again, as a camcorder does when its input stalls. Only
// ticks between the sender's first frame and its last count: before the first the deck is waiting
// for a stream, not stalling one, and after the last the stream has ended. So a run of such ticks
// is counted when the next frame ends it, and a run still going when the sender ends is dropped.
// A sender that keeps pace (a frame in the socket when each tick begins) has none.
//
// Threads: the deck's one thread (DeckServer); no locks.
#pragma once

#include <cstdint>

namespace dv {

class DeckGaps {
public:
    // A run of ticks without a new frame that a frame has just ended.
    struct Run {
        uint64_t ticks = 0;       // its length; 0 when there was none
        uint64_t firstTick = 0;   // the session's tick (from the first frame's, 0) at which it began
    };

    // A new sender: the account starts again.
    void Begin() { *this = DeckGaps(); }
    // A tick at which a new frame came; returns the run it ended.
    Run OnFrame();
    // A tick at which none came.
    void OnMissedTick();
    // The sender is done (or gone): a run still going is dropped; returns how many ticks it held.
    uint64_t End();

    uint64_t frames() const { return frames_; }            // taken from the sender so far
    uint64_t ticks() const { return ticks_; }              // counted gap ticks
    uint64_t longest() const { return longest_; }          // ticks in the longest run
    uint64_t longestAfter() const { return longestAfter_; }  // frames taken when it began

private:
    uint64_t frames_ = 0;
    uint64_t ticks_ = 0;
    uint64_t longest_ = 0;
    uint64_t longestAfter_ = 0;
    uint64_t pending_ = 0;       // ticks of the run going on since the last frame
    uint64_t pendingAfter_ = 0;  // frames taken when it began
};

inline DeckGaps::Run DeckGaps::OnFrame() {
    Run ended;
    if (pending_ > 0) {
        ended.ticks = pending_;
        // Tick 0 is the first frame's; each frame and each gap tick since takes one.
        ended.firstTick = pendingAfter_ + ticks_;
        ticks_ += pending_;
        if (pending_ > longest_) {
            longest_ = pending_;
            longestAfter_ = pendingAfter_;
        }
        pending_ = 0;
    }
    ++frames_;
    return ended;
}

inline void DeckGaps::OnMissedTick() {
    if (frames_ == 0) return;  // still waiting for the stream
    if (pending_ == 0) pendingAfter_ = frames_;
    ++pending_;
}

inline uint64_t DeckGaps::End() {
    const uint64_t dropped = pending_;
    pending_ = 0;
    return dropped;
}

}  // namespace dv
