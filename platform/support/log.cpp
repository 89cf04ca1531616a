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

// The length of the well-formed UTF-8 character at text[0] (at most `left` bytes there), or 0
// when the byte starts none: a stray continuation, an overlong form, a surrogate, beyond U+10FFFF,
// or cut short.
size_t Utf8Length(const unsigned char* text, size_t left) {
    const unsigned char lead = text[0];
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return length;
}

// Copies text[0, length) to out (room bytes at most) so that it cannot act on a terminal or pass
// for more than one line: control characters (C0 with tab and line breaks, DEL, C1) and bytes
// that are not UTF-8 become \xNN, one per byte. Stops before the first character or escape that
// does not fit whole, so a cut never splits either. Returns the bytes written.
size_t AppendEscaped(const char* text, size_t length, char* out, size_t room) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    for (size_t at = 0; at < length;) {
        size_t width = Utf8Length(bytes + at, length - at);
        const bool c1 = width == 2 && bytes[at] == 0xC2 && bytes[at + 1] <= 0x9F;
        const bool plain = width > 1 ? !c1 : width == 1 && bytes[at] >= 0x20 && bytes[at] != 0x7F;
        if (width == 0) width = 1;  // a byte that is not UTF-8 is escaped on its own
        const size_t needed = plain ? width : 4 * width;
        if (written + needed > room) break;
        for (size_t i = 0; i < width; ++i, ++at) {
            if (plain) {
                out[written++] = char(bytes[at]);
            } else {
                static const char kHex[] = "0123456789abcdef";
                out[written++] = '\\';
                out[written++] = 'x';
                out[written++] = kHex[bytes[at] >> 4];
                out[written++] = kHex[bytes[at] & 0xF];
            }
        }
    }
    return written;
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
    // Escaping only lengthens the text, so no more of the message than a line holds is needed.
    char message[kMaxLine];
    va_list args;
    va_start(args, format);
    const int formatted = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    const size_t length = formatted < 0 ? 0 : std::min(size_t(formatted), sizeof message - 1);
    used += int(AppendEscaped(message, length, line + used, sizeof line - 1 - size_t(used)));
    line[used] = '\n';
    WriteLine(line, size_t(used) + 1);
}

}  // namespace platform::log
