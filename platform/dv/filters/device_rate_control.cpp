#include "dv/filters/device_rate_control.h"

#include "dv/ntsc_dv.h"

namespace dv {
namespace {

// One DV frame is 1001/30000 s = 10010000/30 units.
constexpr int64_t kFramePeriodNum = ntsc::kFramePeriodNum;
constexpr int64_t kFramePeriodDen = ntsc::kFramePeriodDen;

}  // namespace

void DeviceRateControl::Reset() { *this = DeviceRateControl(); }

REFERENCE_TIME DeviceRateControl::ExpectedStart(int64_t n) const {
    return base + (n * kFramePeriodNum + kFramePeriodDen / 2) / kFramePeriodDen;
}

bool DeviceRateControl::OnSample(REFERENCE_TIME start, REFERENCE_TIME stop, Quality* q) {
    if (!started) {
        started = true;
        base = start;
        frames = 0;
        lastStop = start;
    }
    const REFERENCE_TIME period = stop - start;
    const REFERENCE_TIME gap = start - lastStop;
    lastStop = stop;
    REFERENCE_TIME lag = ExpectedStart(frames) - start;
    if (lag < 0) {
        // Ahead of the device: times cannot go back, so the device's clock moves to them.
        base -= lag;
        lag = 0;
    }
    ++frames;

    if (awaiting) {
        const bool answered = gap > 0 || period != periodAtMessage;
        if (!answered && ++waited < kMaxWaitFrames) return false;
        awaiting = false;
    }

    const LONG periodMs = LONG((period + kUnitsPerMs / 2) / kUnitsPerMs);
    const bool wrongPeriod = periodMs > 0 && periodMs != kTargetPeriodMs;  // 0: no period to go by
    if (!wrongPeriod && lag <= 0) return false;

    q->Proportion = 1000;
    if (wrongPeriod) {
        q->Proportion = periodMs * 1000 / kTargetPeriodMs;
        if (q->Proportion < 1) q->Proportion = 1;
    }
    q->Type = q->Proportion < 1000 ? Flood : Famine;
    q->Late = lag;
    q->TimeStamp = start;
    awaiting = true;
    waited = 0;
    periodAtMessage = period;
    return true;
}

}  // namespace dv
