// The status line of a running check on standard error, as striping shows its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// On a terminal one line rewritten in place every half second; otherwise a line every five
// seconds. Shows the timecode reached, the frames checked of all and the defects found so far.
//
// Threads: the checking thread only.
class CCheckProgress {
public:
    // frames: how many there are to check, 0 when not known.
    CCheckProgress(int64_t frames, bool terminal);

    // True when the next line is due.
    bool Due() const;
    void Show(int64_t checked, const std::string& label, size_t defects);
    // Clears the terminal's line before the report.
    void Clear() const;

private:
    using Clock = std::chrono::steady_clock;

    const int64_t frames_;
    const bool terminal_;
    const Clock::duration every_;
    Clock::time_point next_;
    bool shown_ = false;
};
