// Measuring a recorded line-up tone: its frequency, its level and how cleanly it runs, from one
// channel of 16-bit samples, without trusting the generator's own arithmetic.
//
// Frequency: the phase of the nominal frequency in each tenth of a second, unwrapped; its slope
// over time is the difference to the nominal frequency. Level: the amplitude of a least-squares
// sine at that frequency, in dB relative to full scale (a sine peaking at 32767 is 0 dBFS).
// Residual: what is left after that sine is removed; a step or a repeated or lost sample at a
// frame join shows there as a spike of the tone's size.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

struct ToneFit {
    double frequency = 0;     // Hz
    double levelDbfs = -200;  // dB relative to a full-scale sine
    double maxResidual = 0;   // largest |sample - fitted sine|, in sample units
    double maxJoinResidual = 0;  // the same within two samples of any join given
};

inline ToneFit FitTone(const std::vector<int16_t>& x, double rate, double nominal,
                       const std::vector<size_t>& joins = {}) {
    ToneFit fit;
    const size_t piece = static_cast<size_t>(rate / 10);
    if (x.size() < 2 * piece) return fit;
    const double w0 = 2 * M_PI * nominal / rate;
    std::vector<double> times, phases;
    for (size_t start = 0; start + piece <= x.size(); start += piece) {
        double s = 0, c = 0;
        for (size_t n = start; n < start + piece; ++n) {
            s += x[n] * std::sin(w0 * static_cast<double>(n));
            c += x[n] * std::cos(w0 * static_cast<double>(n));
        }
        double phase = std::atan2(c, s);
        if (!phases.empty()) {
            while (phase - phases.back() > M_PI) phase -= 2 * M_PI;
            while (phase - phases.back() < -M_PI) phase += 2 * M_PI;
        }
        phases.push_back(phase);
        times.push_back((static_cast<double>(start) + piece / 2.0) / rate);
    }
    double mt = 0, mp = 0;
    for (size_t i = 0; i < times.size(); ++i) mt += times[i], mp += phases[i];
    mt /= times.size();
    mp /= phases.size();
    double num = 0, den = 0;
    for (size_t i = 0; i < times.size(); ++i) {
        num += (times[i] - mt) * (phases[i] - mp);
        den += (times[i] - mt) * (times[i] - mt);
    }
    fit.frequency = nominal + num / den / (2 * M_PI);

    // Least squares for a sin + b cos + c at the measured frequency (normal equations, 3 x 3).
    const double w = 2 * M_PI * fit.frequency / rate;
    double m[3][4] = {};
    for (size_t n = 0; n < x.size(); ++n) {
        const double basis[3] = {std::sin(w * n), std::cos(w * n), 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
            m[i][3] += basis[i] * x[n];
        }
    }
    for (int i = 0; i < 3; ++i)
        for (int k = i + 1; k < 3; ++k) {
            const double f = m[k][i] / m[i][i];
            for (int j = i; j < 4; ++j) m[k][j] -= f * m[i][j];
        }
    double coef[3];
    for (int i = 2; i >= 0; --i) {
        double v = m[i][3];
        for (int j = i + 1; j < 3; ++j) v -= m[i][j] * coef[j];
        coef[i] = v / m[i][i];
    }
    const double amplitude = std::hypot(coef[0], coef[1]);
    fit.levelDbfs = amplitude > 0 ? 20 * std::log10(amplitude / 32767.0) : -200;
    std::vector<double> residual(x.size());
    for (size_t n = 0; n < x.size(); ++n) {
        residual[n] = std::fabs(x[n] - (coef[0] * std::sin(w * n) + coef[1] * std::cos(w * n) + coef[2]));
        fit.maxResidual = std::max(fit.maxResidual, residual[n]);
    }
    for (size_t join : joins)
        for (size_t n = join >= 2 ? join - 2 : 0; n < join + 2 && n < x.size(); ++n)
            fit.maxJoinResidual = std::max(fit.maxJoinResidual, residual[n]);
    return fit;
}

}  // namespace testsupport
