// leader_bench: what a leader's moving pictures cost, in CPU seconds per minute of tape of
// tamsel-stripe onto dvdeck in real time. Baseline, in the same run and for the same length: still
// bars, the plain stripe of "Reference Bars" (--pattern smpte). Against it:
//   burn-in    --layout bars:S --burn-in: the running timecode drawn on every frame, the encoder
//              putting each frame together from the segments it has encoded before;
//   countdown  --layout countdown:8,countdown:8,...: a digit a second over a circle swept every
//              frame.
// Prints each one's CPU and its ratio to still bars; the target for burn-in is at most 1.5.
//
//   build/leader_bench [seconds of tape, default 60] [rounds, default 1]
//
// Needs dvfilters.so, regsvr, dvdeck and tamsel-stripe in the build directory it was built in. It
// makes and removes its own platform state directory. Each case reports its lowest CPU over the
// rounds.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

using testsupport::ReadFile;

namespace {

constexpr long kFrameBytes = 120000;
constexpr double kFramesPerSecond = 30000.0 / 1001.0;

std::string Build(const std::string& file) { return std::string(TAMSEL_BUILD_DIR) + "/" + file; }

double CpuSeconds(const rusage& ru) {
    return double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6 + double(ru.ru_stime.tv_sec) +
           double(ru.ru_stime.tv_usec) / 1e6;
}

struct Run {
    double cpu = -1;  // tamsel-stripe's, all of its life
    long frames = 0;  // on the tape
    std::string error;
};

// tamsel-stripe with `args` onto a fresh deck.
Run Stripe(const std::string& dir, const std::string& name, const std::vector<std::string>& args) {
    Run result;
    const std::string tape = dir + "/" + name + ".dv";
    const pid_t deck =
        testsupport::StartProcess({Build("dvdeck"), "--tape", tape}, testsupport::OutputTo(dir + "/" + name + ".deck")).pid;
    const std::string socket = std::string(getenv("PLATFORM_STATE_DIR")) + "/dvdeck/" + std::to_string(deck) + ".sock";
    struct stat st {};
    for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) usleep(10000);
    std::vector<std::string> argv{Build("tamsel-stripe")};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string log = dir + "/" + name + ".out";
    const pid_t stripe = testsupport::StartProcess(argv, testsupport::OutputTo(log)).pid;
    rusage ru {};
    const int status = testsupport::WaitProcess(stripe, 3600 * 1000, &ru);
    testsupport::StopProcess(deck);
    if (status != 0) {
        result.error = name + ": tamsel-stripe ended with " + std::to_string(status) + ": " + ReadFile(log);
        return result;
    }
    result.cpu = CpuSeconds(ru);
    if (stat(tape.c_str(), &st) == 0) result.frames = long(st.st_size / kFrameBytes);
    if (result.frames == 0) result.error = name + ": nothing reached the tape";
    return result;
}

double PerTapeMinute(const Run& run) { return run.cpu / (double(run.frames) / kFramesPerSecond / 60.0); }

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    if (seconds < 8 || rounds <= 0) {
        std::fprintf(stderr, "usage: leader_bench [seconds of tape, at least 8] [rounds]\n");
        return 2;
    }
    for (const char* piece : {"dvfilters.so", "regsvr", "dvdeck", "tamsel-stripe"}) {
        if (access(Build(piece).c_str(), R_OK) != 0) {
            std::fprintf(stderr, "leader_bench: %s is not built in %s\n", piece, TAMSEL_BUILD_DIR);
            return 2;
        }
    }
    char pattern[] = "/tmp/leader-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    const std::string dir = pattern;
    setenv("PLATFORM_STATE_DIR", (dir + "/state").c_str(), 1);  // never the user's registry

    const std::string length = std::to_string(seconds);
    std::string countdowns;
    for (int s = 0; s + 8 <= seconds; s += 8) countdowns += (countdowns.empty() ? "" : ",") + std::string("countdown:8");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        double best = -1;
    };
    std::vector<Case> cases{{"still bars", {"--pattern", "smpte", "--duration", length}},
                            {"burn-in", {"--layout", "bars:" + length, "--burn-in"}},
                            {"countdown", {"--layout", countdowns}}};
    for (int round = 1; round <= rounds; ++round) {
        for (Case& c : cases) {
            const Run run = Stripe(dir, std::string(c.name == cases[0].name ? "bars" : c.name) + "-" + std::to_string(round),
                                   c.args);
            if (!run.error.empty()) {
                std::fprintf(stderr, "leader_bench: %s\n", run.error.c_str());
                return 1;
            }
            const double perMinute = PerTapeMinute(run);
            std::printf("round %d: %-10s %.3f CPU s per tape minute (%ld frames)\n", round, c.name, perMinute, run.frames);
            c.best = c.best < 0 ? perMinute : std::min(c.best, perMinute);
        }
    }
    std::printf("still bars %.3f CPU s per tape minute; burn-in %.3f, ratio %.2f (target <= 1.5); countdown %.3f, "
                "ratio %.2f\n",
                cases[0].best, cases[1].best, cases[1].best / cases[0].best, cases[2].best, cases[2].best / cases[0].best);
    std::filesystem::remove_all(dir);
    return 0;
}
