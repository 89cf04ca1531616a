#include "stripe_progress.h"

#include <algorithm>
#include <cstdio>

#include "dv/dif/timecode.h"

CStripeProgress::CStripeProgress(int64_t frames, int64_t startFrame, bool terminal)
    : frames_(frames),
      startFrame_(startFrame),
      terminal_(terminal),
      every_(terminal ? std::chrono::milliseconds(500) : std::chrono::milliseconds(5000)),
      next_(Clock::now() + every_) {}

bool CStripeProgress::Due() const { return Clock::now() >= next_; }

void CStripeProgress::Show(const DVStreamProgress& progress, bool lostCounts, const std::string& position) {
    next_ = Clock::now() + every_;
    const int64_t left = frames_ - progress.framesSent;
    // A frame or two are always on their way (in the socket, being received): only those beyond
    // that and not recorded are lost.
    const int64_t lost = progress.framesRecorded >= 0 && lostCounts
                             ? std::max<int64_t>(0, progress.framesSent - progress.framesRecorded - 2)
                             : 0;
    char line[256];
    std::snprintf(line, sizeof line, "%s  sent %lld/%lld  lost %lld  repeated %s  left %.1f s%s%s",
                  dv::Timecode::OfFrame(startFrame_ + progress.framesSent).Text().c_str(),
                  static_cast<long long>(progress.framesSent), static_cast<long long>(frames_),
                  static_cast<long long>(lost),
                  progress.framesRepeated >= 0 ? std::to_string(progress.framesRepeated).c_str() : "?",
                  double(left) * 1001.0 / 30000.0, position.empty() ? "" : "  tape ", position.c_str());
    if (terminal_) {
        std::fprintf(stderr, "\r\033[K%s", line);
    } else {
        std::fprintf(stderr, "tamsel-stripe: %s\n", line);
    }
    std::fflush(stderr);
}

void CStripeProgress::Clear() const {
    if (terminal_) std::fprintf(stderr, "\r\033[K");
}
