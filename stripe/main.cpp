// tamsel-stripe: puts an exact length of colour bars and reference tone, with continuous timecode
// from a chosen start, onto a DV camcorder or deck, on the graph Tamsel builds plus "Reference
// Tone" into the muxer's "Stream 1". COM and the published interfaces only, and the platform's
// extension header for the tone and the device's frame budget.
//
// Recording over a tape destroys what is on it, so record is commanded only with --record.
//
// Threads: one (COM on it); SIGINT and SIGTERM only set the stop request that the run looks at.
#include <objbase.h>
#include <signal.h>

#include <atomic>
#include <cstdio>

#include "stripe_options.h"
#include "stripe_run.h"

namespace {

std::atomic<int> g_stopSignal {0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void OnStopSignal(int sig) { g_stopSignal.store(sig); }

}  // namespace

int main(int argc, char** argv) {
    CStripeOptions options;
    if (const int status = options.Parse(argc, argv); status >= 0) return status;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "tamsel-stripe: COM could not be initialised\n");
        return 1;
    }
    int status = 0;
    {
        CStripeRun run(options, g_stopSignal);
        status = run.Run();
    }
    CoUninitialize();
    return status;
}
