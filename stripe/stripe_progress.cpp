#include "stripe_progress.h"

#include <algorithm>
#include <cstdio>

#include "dv/dif/timecode.h"

CStripeProgress::CStripeProgress(int64_t frames, int64_t startFrame, bool dropFrame, bool fifty, bool terminal)
    : frames_(frames),
      startFrame_(startFrame),
      dropFrame_(dropFrame),
      fifty_(fifty),
      terminal_(terminal),
      every_(terminal ? std::chrono::milliseconds(500) : std::chrono::milliseconds(5000)),
      next_(Clock::now() + every_) {}

bool CStripeProgress::Due() const { return Clock::now() >= next_; }

void CStripeProgress::Show(const DVStreamProgress& progress, bool lostCounts, const std::string& position) {
    next_ = Clock::now() + every_;
    const int64_t left = frames_ - progress.framesSent;
    std::string line = dv::Timecode::OfFrame(startFrame_ + progress.framesSent, dropFrame_, fifty_ ? 25 : 30).Text() + "  sent " +
                       std::to_string(progress.framesSent) + "/" + std::to_string(frames_);
    // A count the device does not keep is left out rather than shown as a guess. A frame or two
    // are always on their way (in the socket, being received): only those beyond that and not
    // recorded are lost.
    if (progress.framesRecorded >= 0 && lostCounts) {
        line += "  lost " + std::to_string(std::max<int64_t>(0, progress.framesSent - progress.framesRecorded - 2));
    }
    if (progress.framesRepeated >= 0) line += "  repeated " + std::to_string(progress.framesRepeated);
    char rest[64];
    std::snprintf(rest, sizeof rest, "  left %.1f s", fifty_ ? double(left) / 25.0 : double(left) * 1001.0 / 30000.0);
    line += rest;
    if (!position.empty()) line += "  tape " + position;
    if (terminal_) {
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
    } else {
        std::fprintf(stderr, "tamsel-stripe: %s\n", line.c_str());
    }
    std::fflush(stderr);
}

void CStripeProgress::Clear() const {
    if (terminal_) std::fprintf(stderr, "\r\033[K");
}
