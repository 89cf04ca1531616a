// The subcode timecode of a tape read back, for the tests that judge what reached a tape.
// Header-only test support; no threads.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "dv/dif/packs.h"

namespace dvtest {

// Fails unless every whole frame of `tape` (frames of `frameBytes`) carries a timecode pack and
// the labels run on by one frame from the first frame to the last: nothing repeated, nothing
// lost. Stops at the first frame that breaks the run.
inline void ExpectContinuousTimecode(const std::string& tape, size_t frameBytes) {
    const size_t frames = tape.size() / frameBytes;
    int64_t previous = -1;
    for (size_t i = 0; i < frames; ++i) {
        const auto code =
            dv::dif::FindTimecodePack(reinterpret_cast<const uint8_t*>(tape.data()) + i * frameBytes, frameBytes);
        ASSERT_TRUE(code) << "frame " << i << " has no timecode";
        const int64_t number = code->label.Frame().value_or(-1);
        if (previous >= 0) {
            ASSERT_EQ(previous + 1, number) << "timecode " << code->label.Text() << " at frame " << i;
        }
        previous = number;
    }
}

}  // namespace dvtest
