// What every DV benchmark does before it measures: the pieces it needs from the build directory it
// was built in, a work folder of its own whose platform state directory keeps the user's registry
// out of reach, and the CPU it reads back from wait4 or getrusage.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

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

// A benchmark's start: its name, its two arguments (a length and a number of rounds, each with
// its default when absent) and the pieces it needs built.
struct Bench {
    const char* program;        // in messages; its work folder is /tmp/<program, '_' as '-'>-XXXXXX
    const char* usage;          // the arguments as the usage message shows them
    long length;                // the first argument's default
    long least;                 // and its least value
    int rounds;                 // the second argument's default; it must be positive
    std::vector<const char*> pieces;  // in the build directory
};

struct Run {
    long length;
    int rounds;
    std::string dir;  // the work folder; PLATFORM_STATE_DIR is its `state`
};

// Reads the arguments, checks that each piece is built, then makes the work folder and points
// PLATFORM_STATE_DIR at its `state` for this process and what it starts, never the user's
// registry. nullopt when an argument is out of range (the usage printed), a piece is missing
// (said on stderr) or the folder cannot be made.
inline std::optional<Run> Prepare(int argc, char** argv, const Bench& bench) {
    Run run{argc > 1 ? std::atol(argv[1]) : bench.length, argc > 2 ? std::atoi(argv[2]) : bench.rounds, ""};
    if (run.length < bench.least || run.rounds <= 0) {
        std::fprintf(stderr, "usage: %s %s\n", bench.program, bench.usage);
        return std::nullopt;
    }
    for (const char* piece : bench.pieces) {
        if (access(Build(piece).c_str(), R_OK) != 0) {
            std::fprintf(stderr, "%s: %s is not built in %s\n", bench.program, piece, TAMSEL_BUILD_DIR);
            return std::nullopt;
        }
    }
    std::string folder = bench.program;
    std::replace(folder.begin(), folder.end(), '_', '-');
    std::string pattern = "/tmp/" + folder + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
    run.dir = pattern;
    setenv("PLATFORM_STATE_DIR", (run.dir + "/state").c_str(), 1);
    return run;
}

}  // namespace benchsupport
