// The platform's diagnostics: one switch for every module of the platform (libplatform.so,
// dvfilters.so, the tools), silent by default.
//
// PLATFORM_DEBUG selects what is written to stderr, as a comma-separated list of category:level
// pairs, "*" standing for every category not named: PLATFORM_DEBUG=registry:3,dv:4,*:2.
// Levels: 1 errors, 2 warnings, 3 information, 4 debugging. A line reads
//   2026-12-08 12:00:00.123 [tid 4242] registry: error: cannot open /x/registry.db: ...
// Categories in use: com (server loading), registry, streaming, dv (filters, device), deck,
// ieee1394, tools.
//
// Items that are not "name" or "name:number" are skipped; a later item for a category overrides an
// earlier one; level 0 silences a category. Messages carry names and texts from outside (paths,
// a peer's words), so every control character in them (tab and line breaks too, ESC, DEL, the C1
// range) and every byte that is not UTF-8 is written as \xNN: a line can neither drive the
// terminal nor pass for two. A line longer than kMaxLine is cut before the first character or
// escape that does not fit whole.
//
// Threads: any thread. The switch is read once, on first use; each line is written with one
// write(2), so lines of different threads do not mix.
#pragma once

namespace platform::log {

enum class Level { Error = 1, Warning = 2, Info = 3, Debug = 4 };

// The longest line written, newline included.
constexpr unsigned kMaxLine = 1024;

// Whether a message of this category and level would be written.
bool Enabled(const char* category, Level level);

// Writes one line (a trailing newline is added). Prefer PLATFORM_LOG, which formats nothing when
// the category is off.
void Write(const char* category, Level level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Reads PLATFORM_DEBUG again (tests change it).
void Reload();

}  // namespace platform::log

#define PLATFORM_LOG(category, level, ...)                                                   \
    do {                                                                                     \
        if (::platform::log::Enabled((category), ::platform::log::Level::level))              \
            ::platform::log::Write((category), ::platform::log::Level::level, __VA_ARGS__);   \
    } while (0)
