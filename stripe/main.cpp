// tamsel-stripe: puts an exact length of colour bars and reference tone, with continuous timecode
// from a chosen start, onto a DV camcorder or deck, on the graph Tamsel builds plus "Reference
// Tone" into the muxer's "Stream 1". COM and the published interfaces only, and the platform's
// extension header for the tone and the device's frame budget. --status and --stop reach the
// unit's deck control alone. --verify-file checks a DV file frame by frame and reports; --verify
// (after a stripe) and --verify-tape check what the unit plays back the same way.
//
// Recording over a tape destroys what is on it, so record is commanded only with --record.
//
// Threads: the main thread (COM on it, the run) and the signal thread (CStopSignals), started
// before anything else so that every thread COM and the graph start leaves the signals to it.
#include <objbase.h>

#include <cstdio>

#include "deck_action.h"
#include "stop_signals.h"
#include "stripe_options.h"
#include "stripe_run.h"
#include "verify_file.h"
#include "verify_run.h"

int main(int argc, char** argv) {
    CStripeOptions options;
    if (const int status = options.Parse(argc, argv); status >= 0) return status;
    CStopSignals signals;
    if (FAILED(CoInitialize(nullptr))) {
        std::fprintf(stderr, "tamsel-stripe: COM could not be initialised\n");
        return 1;
    }
    int status = 0;
    if (options.action == CStripeOptions::kStripe) {
        int64_t start = 0;
        {
            CStripeRun run(options, signals);
            status = run.Run();
            start = run.StartLabel();
        }
        if (status == 0 && options.verify) {
            CVerifyRun verify(options, signals);
            status = verify.Run({options.Label(start), options.frames, true});
        }
    } else if (options.action == CStripeOptions::kVerifyTape) {
        CVerifyRun verify(options, signals);
        std::optional<dv::Timecode> start;
        if (options.timecodeGiven) start = options.checkStart;
        status = verify.Run({start, options.frames, false});
    } else if (options.action == CStripeOptions::kVerifyFile) {
        CVerifyFile verify(options, signals);
        status = verify.Run();
    } else {
        CDeckAction action(options, signals);
        status = action.Run();
    }
    CoUninitialize();
    return status;
}
