// Decides the quality messages the DV device sends upstream so that the stream's sample times
// follow the device's pace of one frame a frame period of the stream's system: 1001/30000 s
// (333667 units of 100 ns) in 525/60, 1/25 s (400000 units, 40 ms) in 625/50. The numbers below
// are 525/60's.
//
// The colour-bar source upstream stamps frames with a whole number of milliseconds; it sets its
// period to period * 1000 / Proportion (clamped to 10..1000 ms) and moves its next start time
// forward by a positive Late. So the device:
//  - asks for a period of 33 ms (the closest whole number) with Proportion = period * 1000 / 33
//    whenever a sample's length is not 33 ms;
//  - keeps its own clock of where the next sample should start (one DV frame period per frame
//    taken) and sends the shortfall as Late, so that over any stretch of frames the times
//    advance by 333667 units a frame;
//  - sends nothing more until the stream shows the last message took effect (a changed length
//    or a gap before a start), because several frames are already on their way through the
//    encoder and the muxer and would otherwise be corrected twice; it gives up waiting after
//    kMaxWaitFrames, in case the upstream ignores quality messages.
// Sample times that run ahead of the device's clock cannot be pulled back; the clock is moved to
// them instead.
//
// Threads: used on the streaming thread only (the device's Receive); no locks.
#pragma once

#include <dshow.h>

#include "dv/dv_system.h"

namespace dv {

class DeviceRateControl {
public:
    static constexpr REFERENCE_TIME kUnitsPerMs = 10000;
    static constexpr LONG kTargetPeriodMs = 33;  // 525/60's; 40 in 625/50
    static constexpr int kMaxWaitFrames = 15;

    // Forgets everything (a new run of the stream, of the system given).
    void Reset(const DvSystem& system = k525_60);

    // The times of a sample the device has just taken. True when a message is due; *q then
    // holds it.
    bool OnSample(REFERENCE_TIME start, REFERENCE_TIME stop, Quality* q);

    // Where the device's clock expects the start of frame n (counted from the first frame).
    REFERENCE_TIME ExpectedStart(int64_t n) const;

private:
    const DvSystem* system = &k525_60;
    LONG targetPeriodMs = kTargetPeriodMs;  // the system's frame period, whole milliseconds
    bool started = false;
    REFERENCE_TIME base = 0;       // start time of frame 0 on the device's clock
    int64_t frames = 0;            // frames taken since the start
    REFERENCE_TIME lastStop = 0;
    bool awaiting = false;         // a message went out and its effect has not been seen
    int waited = 0;                // frames seen while awaiting
    REFERENCE_TIME periodAtMessage = 0;
};

}  // namespace dv
