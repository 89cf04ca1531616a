#include "log.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace platform::log {
namespace {

struct Switch {
    std::vector<std::pair<std::string, int>> levels;  // category, highest level written
    int otherLevel = 0;                               // "*"; 0 writes nothing
};

std::mutex g_lock;  // guards g_switch and g_loaded
Switch g_switch;
bool g_loaded = false;

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A later item for the same category overrides an earlier one; malformed items are skipped, so
// a typo silences one category rather than the whole switch.
Switch Parse(const char* text) {
    Switch parsed;
    if (text == nullptr) return parsed;
    const std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        const size_t end = std::min(all.find(',', start), all.size());
        const std::string item = all.substr(start, end - start);
        start = end + 1;
        const size_t colon = item.find(':');
        const std::string name = Trimmed(colon == std::string::npos ? item : item.substr(0, colon));
        if (name.empty()) continue;
        int level = 4;  // a bare category means everything of it
        if (colon != std::string::npos) {
            const std::string number = Trimmed(item.substr(colon + 1));
            char* rest = nullptr;
            errno = 0;
            const long value = std::strtol(number.c_str(), &rest, 10);
            if (number.empty() || *rest != '\0' || errno != 0) continue;  // not a number
            level = int(value < 0 ? 0 : value > 4 ? 4 : value);
        }
        if (name == "*") {
            parsed.otherLevel = level;
            continue;
        }
        auto found = std::find_if(parsed.levels.begin(), parsed.levels.end(),
                                  [&](const auto& entry) { return entry.first == name; });
        if (found != parsed.levels.end()) found->second = level;
        else parsed.levels.emplace_back(name, level);
    }
    return parsed;
}

const char* LevelName(Level level) {
    switch (level) {
        case Level::Error: return "error";
        case Level::Warning: return "warning";
        case Level::Info: return "info";
        case Level::Debug: return "debug";
    }
    return "?";
}

// One write(2) per line, so lines of different threads and processes sharing stderr never mix.
void WriteLine(const char* line, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(STDERR_FILENO, line, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nowhere to report that reporting failed
        line += written;
        length -= size_t(written);
    }
}

}  // namespace

void Reload() {
    Switch parsed = Parse(std::getenv("PLATFORM_DEBUG"));
    std::lock_guard<std::mutex> guard(g_lock);
    g_switch = std::move(parsed);
    g_loaded = true;
}

bool Enabled(const char* category, Level level) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_loaded) {
            for (const auto& [name, highest] : g_switch.levels) {
                if (name == category) return int(level) <= highest;
            }
            return int(level) <= g_switch.otherLevel;
        }
    }
    Reload();
    return Enabled(category, level);
}

void Write(const char* category, Level level, const char* format, ...) {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    char line[kMaxLine];
    int used = std::snprintf(line, sizeof line, "%s.%03ld [tid %ld] %s: %s: ", stamp,
                             now.tv_nsec / 1000000, long(syscall(SYS_gettid)), category,
                             LevelName(level));
    if (used < 0) return;
    used = std::min(used, int(sizeof line) - 2);
    va_list args;
    va_start(args, format);
    const int message = std::vsnprintf(line + used, sizeof line - 1 - size_t(used), format, args);
    va_end(args);
    if (message > 0) used = std::min(used + message, int(sizeof line) - 2);  // cut if too long
    // A message's own line breaks would split one report into lines that look like others.
    for (int i = 0; i < used; ++i) {
        if (line[i] == '\n' || line[i] == '\r') line[i] = ' ';
    }
    line[used] = '\n';
    WriteLine(line, size_t(used) + 1);
}

}  // namespace platform::log
