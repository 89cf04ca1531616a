#include "tone_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string Format(const char* format, double a, double b) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace

CToneCheck::Measure CToneCheck::Add(const int16_t* x, int count, bool joined) {
    Measure measure;
    if (count <= 0) {
        previous_.clear();
        return measure;
    }
    double sum = 0;
    for (int n = 0; n < count; ++n) sum += double(x[n]) * x[n];
    const double amplitude = std::sqrt(sum / count) * std::sqrt(2.0);
    measure.levelDbfs = amplitude > 0 ? 20 * std::log10(amplitude / 32767.0) : -200;

    // Upward zero crossings, each placed between its two samples.
    double first = -1, last = -1;
    int crossings = 0;
    for (int n = 1; n < count; ++n) {
        if (x[n - 1] < 0 && x[n] >= 0) {
            const double at = (n - 1) + double(-x[n - 1]) / (double(x[n]) - x[n - 1]);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings >= 2 && last > first) measure.frequency = (crossings - 1) * sampleRate_ / (last - first);

    // The recurrence over the frame, from the frame before's last two samples when it joins.
    const double c = 2 * std::cos(2 * M_PI * kFrequency / sampleRate_);
    const double limit = 8 + 0.01 * amplitude;
    const bool withJoin = joined && previous_.size() == 2;
    const auto at = [&](int n) -> double { return n >= 0 ? x[n] : previous_[size_t(2 + n)]; };
    for (int n = withJoin ? 0 : 2; n < count; ++n) {
        if (std::fabs(at(n) - c * at(n - 1) + at(n - 2)) > limit) {
            measure.clickAt = n;
            break;
        }
    }
    previous_.assign(x + std::max(0, count - 2), x + count);
    if (previous_.size() < 2) previous_.clear();
    return measure;
}

std::string CToneCheck::LevelProblem(const Measure& measure, double levelDbfs) {
    if (std::fabs(measure.levelDbfs - levelDbfs) <= kLevelTolerance) return "";
    if (measure.levelDbfs <= -199) return "silence, not the tone";
    return Format("tone at %.1f dBFS, not %.1f dBFS", measure.levelDbfs, levelDbfs);
}

std::string CToneCheck::FrequencyProblem(const Measure& measure) {
    if (std::fabs(measure.frequency - kFrequency) <= kFrequencyTolerance) return "";
    if (measure.frequency == 0) return "no tone to measure";
    return Format("tone at %.1f Hz, not %.0f Hz", measure.frequency, kFrequency);
}
