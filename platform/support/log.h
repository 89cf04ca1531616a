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
// Threads: any thread. The switch is read once, on first use; each line is written with one call,
// so lines of different threads do not mix.
#pragma once

namespace platform::log {

enum class Level { Error = 1, Warning = 2, Info = 3, Debug = 4 };

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
