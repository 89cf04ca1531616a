// leader_bench: what a leader's moving pictures cost, in CPU seconds per minute of tape of
// tamsel-stripe onto dvdeck in real time. Baseline, in the same run and for the same length: still
// bars, the plain stripe of "Reference Bars" (--pattern smpte). Against it:
//   burn-in    --layout bars:S --burn-in: the running timecode drawn on every frame, the encoder
//              putting each frame together from the segments it has encoded before;
//   countdown  --layout countdown:8,countdown:8,...: a digit a second over a circle swept every
//              frame.
// Prints each one's CPU and its ratio to still bars; the target for each is at most 1.5. With
// `pal`, all three in 625/50 onto `dvdeck --standard pal` (still bars: EBU 75 %).
//
//   build/leader_bench [seconds of tape, default 60] [rounds, default 1] [ntsc|pal]
//
// Needs dvfilters.so, regsvr, dvdeck and tamsel-stripe in the build directory it was built in. It
// makes and removes its own platform state directory. Each case reports its lowest CPU over the
// rounds.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "stripe_on_deck.h"

namespace {

using benchsupport::StripeRun;

}  // namespace

int main(int argc, char** argv) {
    const std::string standard = argc > 3 ? argv[3] : "ntsc";
    if (standard != "ntsc" && standard != "pal") {
        std::fprintf(stderr, "usage: leader_bench [seconds of tape, at least 8] [rounds] [ntsc|pal]\n");
        return 2;
    }
    const auto prepared = benchsupport::Prepare(argc, argv,
                                                {"leader_bench", "[seconds of tape, at least 8] [rounds] [ntsc|pal]", 60, 8,
                                                 1, benchsupport::kStripeOnDeckPieces});
    if (!prepared) return 2;
    const auto& [seconds, rounds, dir] = *prepared;
    const bool pal = standard == "pal";
    const double framesPerSecond = pal ? 25.0 : 30000.0 / 1001.0;
    const std::vector<std::string> deckArgs = pal ? std::vector<std::string>{"--standard", "pal"}
                                                  : std::vector<std::string>{};

    const std::string length = std::to_string(seconds);
    std::string countdowns;
    for (int s = 0; s + 8 <= seconds; s += 8) countdowns += (countdowns.empty() ? "" : ",") + std::string("countdown:8");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        double best = -1;
    };
    std::vector<Case> cases{{"still bars", {"--pattern", pal ? "ebu75" : "smpte", "--duration", length}},
                            {"burn-in", {"--layout", "bars:" + length, "--burn-in"}},
                            {"countdown", {"--layout", countdowns}}};
    for (Case& c : cases) c.args.insert(c.args.end(), {"--standard", standard});
    for (int round = 1; round <= rounds; ++round) {
        for (Case& c : cases) {
            // A run that fails (on a busy machine, a stall the deck saw) is run again, twice at most.
            StripeRun run;
            for (int attempt = 1; attempt <= 3; ++attempt) {
                run = benchsupport::StripeOnDeck(dir,
                                                 std::string(c.name == cases[0].name ? "bars" : c.name) + "-" +
                                                     std::to_string(round) + "-" + std::to_string(attempt),
                                                 c.args, deckArgs, pal ? 144000 : 120000);
                if (run.error.empty()) break;
                std::fprintf(stderr, "leader_bench: %s\n", run.error.c_str());
            }
            if (!run.error.empty()) return 1;
            const double perMinute = benchsupport::PerTapeMinute(run.cpu, run.frames, framesPerSecond);
            std::printf("round %d: %-10s %.3f CPU s per tape minute (%ld frames)\n", round, c.name, perMinute, run.frames);
            c.best = c.best < 0 ? perMinute : std::min(c.best, perMinute);
        }
    }
    std::printf("%s: still bars %.3f CPU s per tape minute; burn-in %.3f, ratio %.2f (target <= 1.5); countdown %.3f, "
                "ratio %.2f (target <= 1.5)\n",
                pal ? "625/50" : "525/60", cases[0].best, cases[1].best, cases[1].best / cases[0].best, cases[2].best, cases[2].best / cases[0].best);
    std::filesystem::remove_all(dir);
    return 0;
}
