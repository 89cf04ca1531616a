// The status line of a running stripe on standard error.
#pragma once

#include <platform/platform.h>

#include <chrono>
#include <cstdint>
#include <string>

// On a terminal one line rewritten in place every half second; otherwise a line every five
// seconds. Shows the timecode now, the frames sent, lost and repeated (each count only where the
// device keeps it), the time left and the tape's position.
//
// Threads: the run's thread only.
class CStripeProgress {
public:
    // `fifty`: 625/50, 25 frames a second (else 30000/1001).
    CStripeProgress(int64_t frames, int64_t startFrame, bool dropFrame, bool fifty, bool terminal);

    // True when the next line is due.
    bool Due() const;
    // Shows the line for this progress; `lostCounts` says whether frames sent and not recorded
    // are lost (the device records); `position` is the tape's position or "".
    void Show(const DVStreamProgress& progress, bool lostCounts, const std::string& position);
    // Clears the terminal's line before the summary.
    void Clear() const;

private:
    using Clock = std::chrono::steady_clock;

    const int64_t frames_;
    const int64_t startFrame_;
    const bool dropFrame_;
    const bool fifty_;
    const bool terminal_;
    const Clock::duration every_;
    Clock::time_point next_;
};
