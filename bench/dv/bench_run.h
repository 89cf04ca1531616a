// What every DV benchmark does before it measures: the pieces it needs from the build directory it
// was built in, a work folder of its own whose platform state directory keeps the user's registry
// out of reach, and the CPU it reads back from wait4 or getrusage.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>

namespace benchsupport {

inline std::string Build(const std::string& file) { return std::string(TAMSEL_BUILD_DIR) + "/" + file; }

inline double CpuSeconds(const rusage& ru) {
    return double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6 + double(ru.ru_stime.tv_sec) +
           double(ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds per minute of tape at `framesPerSecond`.
inline double PerTapeMinute(double cpu, long frames, double framesPerSecond) {
    return cpu / (double(frames) / framesPerSecond / 60.0);
}

// The two arguments every DV benchmark takes, a length and a number of rounds, each with its
// default when absent; nullopt, after printing `usage`, when the length is below `least` or the
// rounds are not positive.
struct Arguments {
    long length;
    int rounds;
};
inline std::optional<Arguments> ReadArguments(int argc, char** argv, long length, int rounds, long least,
                                              const char* usage) {
    const Arguments read{argc > 1 ? std::atol(argv[1]) : length, argc > 2 ? std::atoi(argv[2]) : rounds};
    if (read.length < least || read.rounds <= 0) {
        std::fprintf(stderr, "%s\n", usage);
        return std::nullopt;
    }
    return read;
}

// Checks that each of `pieces` is built, then makes the work folder `/tmp/<folder>-XXXXXX` (into
// `dir`) and points PLATFORM_STATE_DIR at its `state` for this process and what it starts. False
// when a piece is missing (said on stderr under `program`'s name) or the folder cannot be made.
inline bool PrepareRun(const char* program, const char* folder, std::initializer_list<const char*> pieces,
                       std::string* dir) {
    for (const char* piece : pieces) {
        if (access(Build(piece).c_str(), R_OK) != 0) {
            std::fprintf(stderr, "%s: %s is not built in %s\n", program, piece, TAMSEL_BUILD_DIR);
            return false;
        }
    }
    std::string pattern = "/tmp/" + std::string(folder) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    *dir = pattern;
    setenv("PLATFORM_STATE_DIR", (*dir + "/state").c_str(), 1);  // never the user's registry
    return true;
}

}  // namespace benchsupport
