// The labels a deck counts through in SMPTE drop-frame time, worked out label by label, to check
// the DIF frame's timecode against.
#pragma once

#include "dv/filters/dif_frame.h"

namespace dvtest {

// The label after tc: 30 labels a second, and ;00 and ;01 left out at each minute not divisible by
// ten.
inline dv::dif::Timecode NextDropFrameLabel(dv::dif::Timecode tc) {
    if (++tc.frames == 30) {
        tc.frames = 0;
        if (++tc.seconds == 60) {
            tc.seconds = 0;
            if (++tc.minutes == 60) {
                tc.minutes = 0;
                ++tc.hours;
            }
            if (tc.minutes % 10 != 0) tc.frames = 2;
        }
    }
    return tc;
}

}  // namespace dvtest
