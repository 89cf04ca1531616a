// The line-up tone on a played-back tape: its level and frequency frame by frame, and no click
// anywhere, the frame joins included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Measures one channel's 16-bit samples frame by frame, in order.
//
// Level: the RMS of the frame's samples as the peak of a sine, in dB of full scale (a sine that
// peaks at 32767 is 0 dBFS). Frequency: the upward zero crossings of the frame, placed between
// samples by interpolation, over the time from the first to the last. Click: a sine obeys
// x[n] = 2 cos(w) x[n-1] - x[n-2] to within its rounding (2 units); a step, a lost or a repeated
// sample, or a frame played twice leaves a residual of a good part of the tone's size. The two
// samples before a frame's first come from the frame before, so a click at a join is found too;
// 12-bit non-linear samples round by at most 1/512 of the tone's peak, well inside that bound;
// after a frame that was not measured (no audio, an error code) the join is not judged.
//
// Threads: one caller at a time.
class CToneCheck {
public:
    static constexpr double kFrequency = 1000.0;  // Hz, what the reference tone sends
    static constexpr double kSampleRate = 48000.0;  // unless set otherwise
    static constexpr double kLevelTolerance = 0.5;      // dB
    static constexpr double kFrequencyTolerance = 2.0;  // Hz

    struct Measure {
        double levelDbfs = -200;
        double frequency = 0;  // 0: too few crossings to tell
        int clickAt = -1;      // the first sample place with a click, -1 for none
    };

    // Measures one frame's samples; `joined` says they follow the last frame measured directly.
    Measure Add(const int16_t* samples, int count, bool joined);
    // Forgets the frame before: the next frame's join is not judged.
    void Break() { previous_.clear(); }
    // The samples' rate (48 or 32 kHz on DV); a change breaks the join.
    void SetSampleRate(double rate) {
        if (rate != sampleRate_) previous_.clear();
        sampleRate_ = rate;
    }

    // Whether a measure is a tone of kFrequency at `levelDbfs`; "" when it is, else what is wrong.
    static std::string LevelProblem(const Measure& measure, double levelDbfs);
    static std::string FrequencyProblem(const Measure& measure);

private:
    std::vector<int16_t> previous_;  // the last two samples of the frame before
    double sampleRate_ = kSampleRate;
};
