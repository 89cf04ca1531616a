#include "log.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

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

std::mutex g_lock;     // guards g_switch and g_loaded
Switch g_switch;
bool g_loaded = false;

Switch Parse(const char* text) {
    Switch parsed;
    if (text == nullptr) return parsed;
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        const size_t end = std::min(all.find(',', start), all.size());
        const std::string item = all.substr(start, end - start);
        start = end + 1;
        const size_t colon = item.find(':');
        if (item.empty()) continue;
        std::string name = colon == std::string::npos ? item : item.substr(0, colon);
        int level = 4;  // a bare category means everything of it
        if (colon != std::string::npos) {
            char* rest = nullptr;
            const long value = std::strtol(item.c_str() + colon + 1, &rest, 10);
            if (rest == item.c_str() + colon + 1 || *rest != '\0') continue;  // not a number
            level = int(value < 0 ? 0 : value > 4 ? 4 : value);
        }
        if (name == "*") parsed.otherLevel = level;
        else parsed.levels.emplace_back(std::move(name), level);
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
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // One fprintf per line: stdio locks the stream for the call.
    std::fprintf(stderr, "%s.%03ld [tid %ld] %s: %s: %s\n", stamp, now.tv_nsec / 1000000,
                 long(syscall(SYS_gettid)), category, LevelName(level), message);
}

}  // namespace platform::log
