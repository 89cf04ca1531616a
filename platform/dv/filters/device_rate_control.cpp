#include "dv/filters/device_rate_control.h"

#include "dv/dv_system.h"

namespace dv {

void DeviceRateControl::Reset(const DvSystem& wanted) {
    *this = DeviceRateControl();
    system = &wanted;
    targetPeriodMs = LONG((wanted.period + kUnitsPerMs / 2) / kUnitsPerMs);
}

REFERENCE_TIME DeviceRateControl::ExpectedStart(int64_t n) const {
    return base + (n * system->periodNum + system->periodDen / 2) / system->periodDen;
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
    const bool wrongPeriod = periodMs > 0 && periodMs != targetPeriodMs;  // 0: no period to go by
    if (!wrongPeriod && lag <= 0) return false;

    q->Proportion = 1000;
    if (wrongPeriod) {
        q->Proportion = periodMs * 1000 / targetPeriodMs;
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
