#include "log.h"

#include "fault.h"
#include "text.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

struct Rule {
    std::string name;  // a category's name, or a pattern
    int level = 0;     // the highest level written; 0 writes nothing
};

struct Switch {
    std::vector<Rule> exact;     // in order; the last one for a name wins
    std::vector<Rule> patterns;  // in order; the last match wins
    int otherLevel = 0;          // "*" (or a bare level)
    std::vector<std::string> problems;  // what was skipped, and why
};

std::mutex g_lock;  // guards g_switch and g_loaded
Switch g_switch;
bool g_loaded = false;
std::atomic<bool> g_reportsProblems{false};

std::mutex g_outputLock;  // guards g_output and g_outputPath, and is held while a line is written
int g_output = STDERR_FILENO;
std::string g_outputPath;

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsPattern(const std::string& name) { return name.find_first_of("*?[") != std::string::npos; }

bool Matches(const std::string& pattern, const char* name) {
    return fnmatch(pattern.c_str(), name, 0) == 0;
}

bool IsNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789-+") == std::string::npos;
}

// The level in `number`, clamped to 0..4; false when it is no number.
bool ParseLevel(const std::string& number, int* level) {
    char* rest = nullptr;
    errno = 0;
    const long value = std::strtol(number.c_str(), &rest, 10);
    if (number.empty() || *rest != '\0' || errno != 0) return false;
    *level = int(value < 0 ? 0 : value > 4 ? 4 : value);
    return true;
}

void Set(std::vector<Rule>* rules, const std::string& name, int level) {
    auto found = std::find_if(rules->begin(), rules->end(),
                              [&](const Rule& rule) { return rule.name == name; });
    if (found != rules->end()) rules->erase(found);
    rules->push_back({name, level});
}

Switch Parse(const char* text) {
    Switch parsed;
    if (text == nullptr) return parsed;
    const std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        const size_t end = std::min(all.find(',', start), all.size());
        const std::string item = all.substr(start, end - start);
        start = end + 1;
        if (Trimmed(item).empty()) continue;
        const size_t colon = item.find(':');
        std::string name = Trimmed(colon == std::string::npos ? item : item.substr(0, colon));
        int level = 4;  // a bare category means everything of it
        if (colon == std::string::npos && IsNumber(name)) {
            if (!ParseLevel(name, &level)) {
                parsed.problems.push_back("\"" + item + "\" is not a level");
                continue;
            }
            name = "*";  // a bare level means every category
        } else if (colon != std::string::npos &&
                   (name.empty() || !ParseLevel(Trimmed(item.substr(colon + 1)), &level))) {
            parsed.problems.push_back("\"" + item + "\" is not CATEGORY:LEVEL");
            continue;
        }
        if (name == "*") {
            parsed.otherLevel = level;
            continue;
        }
        bool known = false;
        for (const Category* category : kCategories)
            known = known || (IsPattern(name) ? Matches(name, category->name) : name == category->name);
        if (!known)
            parsed.problems.push_back((IsPattern(name) ? "no category matches \"" : "no category \"") +
                                      name + "\"");
        Set(IsPattern(name) ? &parsed.patterns : &parsed.exact, name, level);
    }
    return parsed;
}

int LevelOf(const Switch& in, const char* category) {
    for (const Rule& rule : in.exact) {
        if (rule.name == category) return rule.level;
    }
    for (auto rule = in.patterns.rbegin(); rule != in.patterns.rend(); ++rule) {
        if (Matches(rule->name, category)) return rule->level;
    }
    return in.otherLevel;
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

// One write(2) per line, so lines of different threads and processes sharing the output never
// mix.
void WriteAll(int fd, const char* line, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, line, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nowhere to report that reporting failed
        line += written;
        length -= size_t(written);
    }
}

void WriteLine(const char* line, size_t length) {
    std::lock_guard<std::mutex> guard(g_outputLock);
    WriteAll(g_output, line, length);
}

// Copies text[0, length) to out (room bytes at most) so that it cannot act on a terminal or pass
// for more than one line: control characters (C0 with tab and line breaks, DEL, C1) and bytes
// that are not UTF-8 become \xNN, one per byte. Stops before the first character or escape that
// does not fit whole, so a cut never splits either. Returns the bytes written.
size_t AppendEscaped(const char* text, size_t length, char* out, size_t room) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    for (size_t at = 0; at < length;) {
        size_t width = platform::Utf8Length(bytes + at, length - at);
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

// Writes a warning about the switch itself straight to stderr, escaped like a log line.
void WarnOnStderr(const std::string& text) {
    char line[kMaxLine];
    static const char kPrefix[] = "platform: warning: ";
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    size_t used = sizeof kPrefix - 1;
    used += AppendEscaped(text.data(), text.size(), line + used, sizeof line - 1 - used);
    line[used] = '\n';
    WriteAll(STDERR_FILENO, line, used + 1);
}

// Opens PLATFORM_DEBUG_FILE to append to: no symbolic link at its last component is followed
// (one planted there could aim the log at another file), and only a regular file of the user's
// own is written (not a FIFO that blocks, nor a file another user reads). Returns the descriptor,
// or -1 with *fault set (the errno, 0 when the file itself is refused).
int OpenLogFile(const std::string& path, Fault* fault) {
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK |
                              O_CLOEXEC,
                          0600);
    if (fd < 0) {
        const int error = errno;
        // ENXIO: a FIFO nobody reads or a socket, which O_NONBLOCK keeps from hanging the open.
        *fault = {error, error == ELOOP   ? "it is a symbolic link"
                         : error == ENXIO ? "it is not a regular file"
                                          : std::strerror(error)};
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        *fault = {error, std::strerror(error)};
    } else if (!S_ISREG(info.st_mode)) {
        *fault = {0, "it is not a regular file"};
    } else if (info.st_uid != geteuid()) {
        *fault = {0, "it belongs to another user"};
    } else {
        // Writes block as a regular file's do; O_NONBLOCK only kept the open from hanging.
        fcntl(fd, F_SETFL, O_APPEND);
        return fd;
    }
    ::close(fd);
    return -1;
}

// Sends the lines to PLATFORM_DEBUG_FILE, or to stderr when it is unset or cannot be used.
void ChooseOutput(bool report) {
    const char* wanted = std::getenv("PLATFORM_DEBUG_FILE");
    const std::string path = wanted == nullptr ? std::string() : std::string(wanted);
    std::lock_guard<std::mutex> guard(g_outputLock);
    if (path == g_outputPath) return;
    int fd = STDERR_FILENO;
    if (!path.empty()) {
        Fault fault;
        fd = OpenLogFile(path, &fault);
        if (fd < 0) {
            fd = STDERR_FILENO;
            if (report)
                WarnOnStderr("PLATFORM_DEBUG_FILE " + path + " cannot be used (" + fault.text +
                             "); writing to stderr");
        }
    }
    // A line being written holds the lock, so the old descriptor is closed after it.
    if (g_output != STDERR_FILENO) ::close(g_output);
    g_output = fd;
    g_outputPath = path;
}

}  // namespace

void Reload() {
    const bool report = g_reportsProblems.load();
    const char* text = std::getenv("PLATFORM_DEBUG");
    Switch parsed = Parse(text);
    if (report && !parsed.problems.empty()) {
        std::string known;
        for (const Category* category : kCategories)
            known += std::string(known.empty() ? "" : ", ") + category->name;
        std::string list;
        for (const std::string& problem : parsed.problems)
            list += (list.empty() ? "" : "; ") + problem;
        WarnOnStderr("PLATFORM_DEBUG: skipped " + list + " (categories: " + known + ")");
    }
    // Without a switch nothing is written, and no file is made.
    if (text != nullptr && *text != '\0') ChooseOutput(report);
    std::lock_guard<std::mutex> guard(g_lock);
    g_switch = std::move(parsed);
    g_loaded = true;
}

void ReportSwitchProblems() {
    g_reportsProblems = true;
    bool loaded = false;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        loaded = g_loaded;
    }
    if (loaded) Reload();  // something logged before: its problems were not told yet
}

bool Enabled(const Category& category, Level level) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_loaded) return int(level) <= LevelOf(g_switch, category.name);
    }
    Reload();
    return Enabled(category, level);
}

void Write(const Category& category, Level level, const char* format, ...) {
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    char line[kMaxLine];
    int used = std::snprintf(line, sizeof line, "%s.%03ld [tid %ld] %s: %s: ", stamp,
                             now.tv_nsec / 1000000, long(syscall(SYS_gettid)), category.name,
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
