#include "check_progress.h"

#include <cstdio>

CCheckProgress::CCheckProgress(int64_t frames, bool terminal)
    : frames_(frames),
      terminal_(terminal),
      every_(terminal ? std::chrono::milliseconds(500) : std::chrono::milliseconds(5000)),
      next_(Clock::now() + every_) {}

bool CCheckProgress::Due() const { return Clock::now() >= next_; }

void CCheckProgress::Show(int64_t checked, const std::string& label, size_t defects) {
    next_ = Clock::now() + every_;
    char line[256];
    const int percent = frames_ > 0 ? int(checked * 100 / frames_) : 0;
    std::snprintf(line, sizeof line, "checking %s  %lld/%lld frames (%d%%)  defects %zu",
                  label.empty() ? "--:--:--;--" : label.c_str(), static_cast<long long>(checked),
                  static_cast<long long>(frames_), percent, defects);
    if (terminal_) {
        std::fprintf(stderr, "\r\033[K%s", line);
    } else {
        std::fprintf(stderr, "tamsel-stripe: %s\n", line);
    }
    std::fflush(stderr);
    shown_ = true;
}

void CCheckProgress::Clear() const {
    if (terminal_ && shown_) std::fprintf(stderr, "\r\033[K");
}
