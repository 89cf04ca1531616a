// The platform's diagnostics: one switch for every module of the platform (libplatform.so,
// dvfilters.so, the tools), silent by default.
//
// PLATFORM_DEBUG selects what is written, as a comma-separated list of items:
//   CATEGORY:LEVEL   that category up to LEVEL          registry:3
//   PATTERN:LEVEL    the categories a glob matches      dv*:4   (fnmatch: * ? [...])
//   CATEGORY         that category, every level         com
//   LEVEL            every category                     4       (the same as *:4)
// Levels: 1 errors, 2 warnings, 3 information, 4 debugging; 0 silences. A category takes the
// level of the last item naming it exactly; failing that, of the last pattern other than a bare
// "*" matching it; failing that, of "*"; failing that it is silent. So "*:2,com:4" and
// "com:4,*:2" mean the same. A line reads
//   2026-12-08 12:00:00.123 [tid 4242] registry: error: cannot open /x/registry.db: ...
//
// Lines go to stderr, or with PLATFORM_DEBUG_FILE=PATH appended to that file: created 0600 when
// missing, never through a symbolic link, and only a regular file of the user's own. When it
// cannot be used the platform says why once on stderr and writes there instead.
//
// Items that name no category, or that are not of the forms above, are skipped with one warning
// on stderr, so a typo silences one category rather than the whole switch. Messages carry names
// and texts from outside (paths, a peer's words), so every control character in them (tab and
// line breaks too, ESC, DEL, the C1 range) and every byte that is not UTF-8 is written as \xNN:
// a line can neither drive the terminal nor pass for two. A line longer than kMaxLine is cut
// before the first character or escape that does not fit whole.
//
// Every module links its own copy of this code. The warnings about the switch itself (an
// unknown category, an unusable file) are written only by the copy that ReportSwitchProblems
// was called in (libplatform.so's), so a process says each of them once.
//
// Threads: any thread. The switch is read once, on first use; each line is written with one
// write(2), so lines of different threads and processes do not mix.
#pragma once

#include <cstddef>

namespace platform::log {

enum class Level { Error = 1, Warning = 2, Info = 3, Debug = 4 };

// A category of messages. Every one is declared below, once; code names them by symbol, so a
// misspelt category does not compile.
struct Category {
    const char* name;   // as in PLATFORM_DEBUG
    const char* about;  // what it reports, for --help
};

inline constexpr Category kCom{"com", "loading libraries and servers, creating objects"};
inline constexpr Category kRegistry{"registry", "the registry database and the state directory"};
inline constexpr Category kStreaming{"streaming", "filter mappers, graphs, device enumeration"};
inline constexpr Category kDv{"dv", "the DV encoder and muxer (libavcodec, libswscale), the DV device"};
inline constexpr Category kDeck{"deck", "the virtual deck (dvdeck)"};
inline constexpr Category kIeee1394{"ieee1394", "the IEEE 1394 bus: discovery, connection, transmission"};
inline constexpr Category kTools{"tools", "regsvr, graphinfo, dvdeck"};

inline constexpr const Category* kCategories[] = {&kCom,  &kRegistry, &kStreaming, &kDv,
                                                  &kDeck, &kIeee1394, &kTools};

// The longest line written, newline included.
constexpr unsigned kMaxLine = 1024;

// Whether a message of this category and level would be written.
bool Enabled(const Category& category, Level level);

// Writes one line (a trailing newline is added). Prefer PLATFORM_LOG, which formats nothing when
// the category is off.
void Write(const Category& category, Level level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Reads PLATFORM_DEBUG and PLATFORM_DEBUG_FILE again (tests change them).
void Reload();

// Makes this copy of the log the one that warns about the switch itself (see above).
void ReportSwitchProblems();

namespace detail {

consteval const Category* Find(const char* name) {
    for (const Category* category : kCategories) {
        const char* a = category->name;
        const char* b = name;
        while (*a != '\0' && *a == *b) ++a, ++b;
        if (*a == *b) return category;
    }
    // Not a constant expression: an unknown name stops the compilation here.
    throw "PLATFORM_LOG: no such category";
}

// Transitional, deprecated: a category named by a string literal, checked against the declared
// names at compile time. Left for the call sites not converted yet; new code names the symbol.
// (Not marked [[deprecated]]: warnings are errors in this build.)
struct Named {
    const Category* category;
    consteval Named(const char* name) : category(Find(name)) {}
};

constexpr const Category& Of(const Category& category) { return category; }
constexpr const Category& Of(Named named) { return *named.category; }

}  // namespace detail
}  // namespace platform::log

// PLATFORM_LOG(platform::log::kDv, Error, "format", ...).
#define PLATFORM_LOG(category, level, ...)                                                     \
    do {                                                                                       \
        const ::platform::log::Category& platformLogCategory_ =                                \
            ::platform::log::detail::Of(category);                                             \
        if (::platform::log::Enabled(platformLogCategory_, ::platform::log::Level::level))     \
            ::platform::log::Write(platformLogCategory_, ::platform::log::Level::level,        \
                                   __VA_ARGS__);                                               \
    } while (0)
