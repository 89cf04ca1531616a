// Runs tamsel-stripe onto a fresh dvdeck in real time and measures what tamsel-stripe spent, for
// the benchmarks that time whole stripes (leader_bench, pal_bench). The platform state directory
// is the caller's (PLATFORM_STATE_DIR, set before the first run).
#pragma once

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench_run.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace benchsupport {

// What StripeOnDeck runs: the deck, the striping program and the DV filters it finds registered.
inline const std::vector<const char*> kStripeOnDeckPieces{"dvfilters.so", "regsvr", "dvdeck", "tamsel-stripe"};

struct StripeRun {
    double cpu = -1;  // tamsel-stripe's, all of its life
    long frames = 0;  // on the tape
    std::string error;
};

// tamsel-stripe with `args` onto a fresh deck started with `deckArgs`, its tape `dir`/`name`.dv of
// frames of `frameBytes`; its output in `name`.out and the deck's in `name`.deck.
inline StripeRun StripeOnDeck(const std::string& dir, const std::string& name, const std::vector<std::string>& args,
                              const std::vector<std::string>& deckArgs = {}, long frameBytes = 120000) {
    StripeRun result;
    const std::string tape = dir + "/" + name + ".dv";
    std::vector<std::string> deckArgv{Build("dvdeck"), "--tape", tape};
    deckArgv.insert(deckArgv.end(), deckArgs.begin(), deckArgs.end());
    const pid_t deck = testsupport::StartProcess(deckArgv, testsupport::OutputTo(dir + "/" + name + ".deck")).pid;
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
        result.error = name + ": tamsel-stripe ended with " + std::to_string(status) + ": " + testsupport::ReadFile(log);
        return result;
    }
    result.cpu = CpuSeconds(ru);
    if (stat(tape.c_str(), &st) == 0) result.frames = long(st.st_size / frameBytes);
    if (result.frames == 0) result.error = name + ": nothing reached the tape";
    return result;
}

}  // namespace benchsupport
